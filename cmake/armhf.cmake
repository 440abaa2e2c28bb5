# Cross build for the appliance's CPU (32-bit ARM, hard float) on a Debian amd64 host with the
# armhf multiarch packages: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake ...
# scripts/armhf sets up the host, builds with this file and runs the suite under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# All of it is built by this one compiler: GCC's note that 7.1 changed how some arguments
# are passed on ARM concerns no interface of ours.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Multiarch: the target's libraries and CMake packages live in /usr/lib/arm-linux-gnueabihf,
# which CMAKE_LIBRARY_ARCHITECTURE points every search at; programs are the host's.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# pkg-config reads the target's .pc files only. LUMORA_ARMHF_PKGCONFIG names further folders
# searched first (scripts/armhf keeps libpq's development files there: Debian's libpq-dev cannot
# be installed for two architectures at once).
set(LUMORA_ARMHF_PKGCONFIG "" CACHE STRING "Folders of further armhf .pc files, searched first")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LUMORA_ARMHF_PKGCONFIG)  # the checks read this file too
set(_lumora_pc_dirs ${LUMORA_ARMHF_PKGCONFIG} /usr/lib/arm-linux-gnueabihf/pkgconfig /usr/share/pkgconfig)
list(JOIN _lumora_pc_dirs ":" _lumora_pc_path)
set(ENV{PKG_CONFIG_LIBDIR} "${_lumora_pc_path}")
unset(ENV{PKG_CONFIG_PATH})

# Target programs run through the user-mode emulator where the kernel does not do it itself.
find_program(LUMORA_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(LUMORA_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMORA_QEMU_ARM})
endif()
