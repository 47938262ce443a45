// A host that does not link the logger: plugin A brings it in and starts it;
// the logger is kept loaded while A is unloaded and B is loaded where A was.
//   plugin_host DIR LIBRARY PLUGIN_A PLUGIN_B
// Prints "started:1 same-address:1" when it went so.
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 5)
        return 2;
    using Start = bool (*)(const char*);
    using Log = const char* (*)();
    void* const a = dlopen(argv[3], RTLD_NOW);
    void* const library = a != nullptr ? dlopen(argv[2], RTLD_NOW) : nullptr;
    if (library == nullptr) {
        fprintf(stderr, "plugin_host: %s\n", dlerror());
        return 3;
    }
    const bool started = reinterpret_cast<Start>(dlsym(a, "PluginStart"))(argv[1]);
    const char* const formatOfA = reinterpret_cast<Log>(dlsym(a, "PluginLog"))();
    dlclose(a);
    void* const b = dlopen(argv[4], RTLD_NOW);
    if (b == nullptr) {
        fprintf(stderr, "plugin_host: %s\n", dlerror());
        return 3;
    }
    const char* const formatOfB = reinterpret_cast<Log>(dlsym(b, "PluginLog"))();
    printf("started:%d same-address:%d\n", started ? 1 : 0, formatOfA == formatOfB ? 1 : 0);
    return 0;
}
