# Cross toolchain for freestanding x86-64 UEFI images: clang emits COFF objects for the
# Microsoft x64 calling convention, lld-link writes the PE32+ image.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

find_program(CMAKE_CXX_COMPILER NAMES clang++-14 clang++ REQUIRED)
find_program(CMAKE_ASM_COMPILER NAMES clang-14 clang REQUIRED)
find_program(CMAKE_AR NAMES llvm-ar-14 llvm-ar REQUIRED)
find_program(UEFI_LLD_LINK NAMES lld-link-14 lld-link REQUIRED)
# Takes the DWARF sections out of the linked image: the shipped image and its symbol file
# come from one link.
find_program(UEFI_OBJCOPY NAMES llvm-objcopy-14 llvm-objcopy REQUIRED)

set(CMAKE_CXX_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_ASM_COMPILER_TARGET x86_64-unknown-windows)
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Passed explicitly as well: CMake does not forward the compiler target on every platform.
set(CMAKE_CXX_FLAGS_INIT "--target=x86_64-unknown-windows")
set(CMAKE_ASM_FLAGS_INIT "--target=x86_64-unknown-windows")
