# Cross-compiling for arm64 with Debian's toolchain (g++-aarch64-linux-gnu)
# and Debian's arm64 libraries installed through multiarch
# (dpkg --add-architecture arm64): no sysroot, the arm64 libraries and their
# CMake files are in /usr/lib/aarch64-linux-gnu.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
