// Links against the installed SDK and prints what it knows about itself.
#include <norvane/sdk.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    Norvane::SDK::DeviceInitSettings settings;
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("Norvane SDK %s (default device port %u)\n", Norvane::SDK::GetSdkVersion(),
                    static_cast<unsigned>(settings.device_port));
        return 0;
    }
    std::printf("usage: %s --version\n", argv[0]);
    return 2;
}
