// SPDX-License-Identifier: MIT
// Stands for another module's ORB plugin, named as the ORB's own libraries
// are: loaded before the library, it must be unloadable after it.
extern "C" __attribute__((visibility("default"))) int zortestOtherModulePlugin() {
    return 1;
}
