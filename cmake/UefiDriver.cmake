# Build settings for both builds and add_uefi_driver(), the one call that declares an image.

set(UEFI_IMAGE_OUTPUT_DIR "${CMAKE_BINARY_DIR}/images")
set(UEFI_SYMBOL_OUTPUT_DIR "${CMAKE_BINARY_DIR}/symbols")

if(UEFI_BUILD STREQUAL "firmware")
  add_compile_definitions(UEFI_FIRMWARE=1)
  # clang aimed at a Windows target passes CMake's compiler check as an MSVC look-alike, and
  # CMake then asks it for no dependency files: without these, a changed header would not
  # rebuild the objects that include it, and images would link stale layouts.
  set(CMAKE_DEPFILE_FLAGS_CXX "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
  set(CMAKE_DEPFILE_FLAGS_ASM "-MD -MT <DEP_TARGET> -MF <DEP_FILE>")
  # -nostdlibinc keeps clang's own freestanding headers and drops every host include path.
  set(UEFI_CXX_FLAGS
    -ffreestanding -nostdlibinc -fno-exceptions -fno-rtti -mno-red-zone -fno-stack-protector
    -mno-stack-arg-probe -fno-threadsafe-statics -fno-asynchronous-unwind-tables
    -Oz -ffunction-sections -fdata-sections
    -Wall -Wextra -Werror -Werror=global-constructors -Wno-unused-parameter
    # Debug information does not change the code. CodeView becomes the PDB, DWARF the
    # .debug file for gdb; linkage names only where LLVM insists (inlined functions), and
    # tools/debug/dwarf_names.py hides those from gdb, which cannot demangle them.
    -g -gcodeview -gdwarf -mllvm -dwarf-linkage-names=Abstract)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  # Where dependency expressions find their protocols' GUIDs.
  file(GLOB UEFI_GUID_HEADERS "${PROJECT_SOURCE_DIR}/include/uefi/*.h")
else()
  add_compile_definitions(UEFI_HOST=1)
  set(UEFI_CXX_FLAGS -g -O1 -fno-omit-frame-pointer -fsanitize=address,undefined
                     -fno-sanitize-recover=undefined -Wall -Wextra -Wno-unused-parameter)
  add_link_options(-fsanitize=address,undefined)
endif()
# C++ only: assembly sources get the target and nothing else.
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${UEFI_CXX_FLAGS}>")

# add_uefi_driver(<name> ENTRY <symbol> SOURCES <files...> [SUBSYSTEM <lld-link subsystem>]
#                 [LINK_FLAGS <extra lld-link flags...>] [LIBRARIES <targets...>] [OUTPUT_DIR <dir>]
#                 [FILE_GUID <guid> KIND dxe|mm DEPEX <expression> [NO_PACKAGE]])
#
# firmware build: <name>.efi in build/firmware/images/ (target <name>_efi, built by default),
#                 its symbol files <name>.pdb and <name>.debug in build/firmware/symbols/.
#                 With FILE_GUID the image is also a PI firmware file (add_firmware_file):
#                 KIND dxe for the DXE dispatcher, mm for the SMM core; DEPEX what its entry
#                 waits for. A board image (no OUTPUT_DIR) must be one: this call is where its
#                 file GUID, kind and dependency expression are written, once.
# host build:     static library <name> with the same sources, for the host tests to link.
function(add_uefi_driver name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "NO_PACKAGE" "ENTRY;SUBSYSTEM;OUTPUT_DIR;FILE_GUID;KIND;DEPEX"
                        "SOURCES;LINK_FLAGS;LIBRARIES")
  if(NOT ARG_ENTRY OR NOT ARG_SOURCES)
    message(FATAL_ERROR "add_uefi_driver(${name}): ENTRY and SOURCES are required")
  endif()
  if(NOT ARG_OUTPUT_DIR AND NOT ARG_FILE_GUID)
    message(FATAL_ERROR "add_uefi_driver(${name}): a board image needs FILE_GUID, KIND and DEPEX")
  endif()
  if(ARG_FILE_GUID AND (NOT ARG_KIND MATCHES "^(dxe|mm)$" OR NOT ARG_DEPEX))
    message(FATAL_ERROR "add_uefi_driver(${name}): FILE_GUID needs KIND dxe or mm and a DEPEX")
  endif()
  if(NOT ARG_SUBSYSTEM)
    set(ARG_SUBSYSTEM efi_boot_service_driver)
  endif()

  if(UEFI_BUILD STREQUAL "firmware")
    add_library(${name} OBJECT ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE uefi_support ${ARG_LIBRARIES})
    set(out_dir "${UEFI_IMAGE_OUTPUT_DIR}")
    if(ARG_OUTPUT_DIR)
      set(out_dir "${ARG_OUTPUT_DIR}")
    endif()
    set(image "${out_dir}/${name}.efi")
    set(archives $<TARGET_FILE:uefi_support>)
    foreach(lib IN LISTS ARG_LIBRARIES)
      list(APPEND archives $<TARGET_FILE:${lib}>)
    endforeach()
    set(sym "${UEFI_SYMBOL_OUTPUT_DIR}/${name}")
    # The drivers keep their read-only data in .text: one section header and its padding less
    # in every image. (The test application is left as it is.)
    set(merge_rdata "")
    if(NOT ARG_OUTPUT_DIR)
      set(merge_rdata /merge:.rdata=.text)
    endif()
    # Sections stay 4 KiB aligned in memory in every image: EDK II's memory protection marks
    # code read-only and data non-executable only in images aligned so, and in SMRAM one image
    # that is not clears it for all. A DXE driver's sections are 4 KiB aligned in the file too:
    # GenFv rebases a DRIVER file in a volume with a base address (execute-in-place) and
    # refuses an image whose file and section alignments differ. GenFv never rebases an SMM
    # file, so the SMM image keeps its small file alignment (and the test application, which
    # no volume holds, its own).
    set(file_align /filealign:32)
    if(ARG_KIND STREQUAL "dxe")
      set(file_align /filealign:4096)
    endif()
    # One link writes the PDB and an image with DWARF sections (<name>.debug); the shipped
    # image is that image without them, so every address in both symbol files is its own.
    # The CodeView entry names the PDB without a directory, as a symbol server would look it up.
    # /Brepro: no clock and no random GUID; the time stamps and the CodeView GUID come from a
    # hash of the linked image, so a clean rebuild of one tree gives the same bytes.
    add_custom_command(
      OUTPUT "${image}" "${sym}.debug" "${sym}.pdb"
      # The map file names every public function and global, so the image runner can reach
      # a driver's internals in the shipped image.
      BYPRODUCTS "${out_dir}/${name}.map"
      COMMAND ${CMAKE_COMMAND} -E make_directory "${out_dir}" "${UEFI_SYMBOL_OUTPUT_DIR}"
      COMMAND ${UEFI_LLD_LINK} /nologo /subsystem:${ARG_SUBSYSTEM} /dll /base:0 /nodefaultlib
              /entry:${ARG_ENTRY} /opt:ref,icf /debug /incremental:no /ignore:longsections
              /Brepro /pdb:${sym}.pdb /pdbaltpath:%_PDB% /merge:.CRT=.rdata ${merge_rdata} ${file_align}
              /map:${out_dir}/${name}.map ${ARG_LINK_FLAGS} /out:${sym}.debug $<TARGET_OBJECTS:${name}> ${archives}
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/debug/dwarf_names.py ${sym}.debug
      COMMAND ${UEFI_OBJCOPY} --strip-debug ${sym}.debug ${image}
      # /dll makes lld-link write an import library nobody needs.
      COMMAND ${CMAKE_COMMAND} -E rm -f "${sym}.lib" "${sym}.exp"
      DEPENDS $<TARGET_OBJECTS:${name}> ${archives} ${PROJECT_SOURCE_DIR}/tools/debug/dwarf_names.py
      COMMAND_EXPAND_LISTS VERBATIM
      COMMENT "Linking UEFI image ${name}.efi")
    add_custom_target(${name}_efi ALL DEPENDS "${image}")
    set_target_properties(${name} PROPERTIES UEFI_IMAGE_FILE "${image}")
    if(NOT ARG_OUTPUT_DIR)
      set_property(GLOBAL APPEND PROPERTY UEFI_DRIVERS ${name})
    endif()
    if(ARG_FILE_GUID)
      set(package "")
      if(ARG_NO_PACKAGE)
        set(package NO_PACKAGE)
      endif()
      set(ffs_dir "")
      if(ARG_OUTPUT_DIR)
        set(ffs_dir OUTPUT_DIR "${ARG_OUTPUT_DIR}")
      endif()
      add_firmware_file(${name} GUID ${ARG_FILE_GUID} KIND ${ARG_KIND} DEPEX "${ARG_DEPEX}" ${ffs_dir} ${package})
    endif()
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC uefi_support sim ${ARG_LIBRARIES})
  endif()
endfunction()

# add_firmware_file(<name> GUID <file guid> KIND dxe|mm DEPEX <expression> [OUTPUT_DIR <dir>] [NO_PACKAGE])
#
# The PI firmware file <dir>/ffs/<name>.ffs of an image declared with add_uefi_driver(), and
# (unless NO_PACKAGE) its binary package <dir>/package/<name>/; <dir> defaults to the build
# directory. The expression names protocols by their GUID globals in include/uefi/. Target
# <name>_ffs, built by default. add_uefi_driver() calls it for an image declared with FILE_GUID.
function(add_firmware_file name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "NO_PACKAGE" "GUID;KIND;DEPEX;OUTPUT_DIR" "")
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(out_dir "${CMAKE_BINARY_DIR}")
  if(ARG_OUTPUT_DIR)
    set(out_dir "${ARG_OUTPUT_DIR}")
  endif()
  get_target_property(image ${name} UEFI_IMAGE_FILE)
  set(tool "${PROJECT_SOURCE_DIR}/cmake/steps/firmware_files.py")
  set(options --guid "${ARG_GUID}" --kind "${ARG_KIND}" --depex "${ARG_DEPEX}"
              --protocols "${PROJECT_SOURCE_DIR}/include/uefi")
  set(outputs "${out_dir}/ffs/${name}.ffs")
  if(ARG_NO_PACKAGE)
    list(APPEND options --no-package)
  else()
    list(APPEND outputs "${out_dir}/package/${name}/${name}.inf")
  endif()
  add_custom_command(OUTPUT ${outputs}
    COMMAND Python3::Interpreter "${tool}" ${name} "${image}" "${out_dir}" ${options}
    DEPENDS "${image}" "${tool}" ${UEFI_GUID_HEADERS}
    VERBATIM
    COMMENT "Firmware file ${name}.ffs")
  add_custom_target(${name}_ffs ALL DEPENDS ${outputs})
  set_target_properties(${name} PROPERTIES UEFI_FFS_FILE "${out_dir}/ffs/${name}.ffs" UEFI_FILE_GUID "${ARG_GUID}"
                                           UEFI_FILE_KIND "${ARG_KIND}")
endfunction()

# uefi_target_sources(<out variable> <targets...>): the source files of the targets, as absolute
# paths, for builds that compile a driver's sources again (fuzz targets, image tests, benchmark).
function(uefi_target_sources out)
  set(all "")
  foreach(target IN LISTS ARGN)
    get_target_property(dir ${target} SOURCE_DIR)
    get_target_property(files ${target} SOURCES)
    foreach(file IN LISTS files)
      if(IS_ABSOLUTE ${file})
        list(APPEND all ${file})
      else()
        list(APPEND all ${dir}/${file})
      endif()
    endforeach()
  endforeach()
  set(${out} ${all} PARENT_SCOPE)
endfunction()
