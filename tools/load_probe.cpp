// Loads a shared object with the system's dynamic loader, every symbol bound
// at once (RTLD_NOW), and prints the loader's verdict. The extension module
// built for musl is checked with it under musl's own loader: there is no musl
// CPython here, so the program is linked with stand-ins for the Python
// symbols the module uses (a generated list of data objects of those names,
// exported; nothing calls them) and the loader must bind everything else to
// musl's C library, then run the module's static constructors.
//   load_probe MODULE
#include <dlfcn.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: load_probe MODULE\n");
        return 2;
    }
    void* handle = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        std::printf("%s\n", dlerror());
        return 1;
    }
    const bool entry = dlsym(handle, "PyInit_korva_rust") != nullptr;
    std::printf("%s loaded, %s\n", argv[1], entry ? "PyInit_korva_rust found" : "no PyInit_korva_rust");
    return entry ? 0 : 1;
}
