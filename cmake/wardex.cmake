# Compiler settings shared by every target of the project.
add_library(wardex_options INTERFACE)
target_compile_options(wardex_options INTERFACE
    -Wall -Wextra -Wpedantic -Werror -Wshadow -Wnon-virtual-dtor -Wcast-qual -Wformat=2)

if(WIN32)
    # Unicode everywhere, and the oldest API level the product supports (Windows 7).
    target_compile_definitions(wardex_options INTERFACE
        UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
    # No runtime DLL may sit beside the program: link libgcc, libstdc++ and winpthread statically.
    target_link_options(wardex_options INTERFACE -static -static-libgcc -static-libstdc++)
    set(WARDEX_JSON_HEADER_ONLY ON)
    # Each function and object in its own section, so the linker can drop what is never used.
    target_compile_options(wardex_options INTERFACE
        $<$<CONFIG:MinSizeRel>:-ffunction-sections -fdata-sections>)
endif()

if(WARDEX_SANITIZE AND NOT WIN32)
    target_compile_options(wardex_options INTERFACE
        -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    target_link_options(wardex_options INTERFACE -fsanitize=address,undefined)
endif()

if(WARDEX_FUZZ)
    target_compile_options(wardex_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined)
    target_link_options(wardex_options INTERFACE -fsanitize=address,undefined)
endif()

# Header-only third-party libraries come from Debian packages (scripts/deps.sh installs them).
# For the mingw builds the host's include folder is not searched, so point at the headers directly.
add_library(wardex_thirdparty INTERFACE)
find_path(WARDEX_NLOHMANN_DIR nlohmann/json.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(WARDEX_PICOJSON_DIR picojson.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
find_path(WARDEX_FMT_DIR fmt/format.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
# A dedicated folder of symlinks keeps the rest of /usr/include out of the cross builds.
set(_tp ${CMAKE_BINARY_DIR}/thirdparty/include)
file(MAKE_DIRECTORY ${_tp})
foreach(_item IN ITEMS ${WARDEX_NLOHMANN_DIR}/nlohmann ${WARDEX_PICOJSON_DIR}/picojson.h
                      ${WARDEX_FMT_DIR}/fmt)
    get_filename_component(_name ${_item} NAME)
    file(CREATE_LINK ${_item} ${_tp}/${_name} SYMBOLIC)
endforeach()
target_include_directories(wardex_thirdparty SYSTEM INTERFACE ${_tp})
target_compile_definitions(wardex_thirdparty INTERFACE FMT_HEADER_ONLY PICOJSON_USE_INT64)

# Runs a Windows program under 64-bit Wine in a prefix that belongs to the build tree.
set(WARDEX_WINE_RUN ${CMAKE_SOURCE_DIR}/lab/wine-run.sh)

# The lab's scripts read which Wine runs this build's programs: the 32-bit lab for x86.
if(WIN32)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        set(WARDEX_ARCH x86)
    else()
        set(WARDEX_ARCH x64)
    endif()
    file(WRITE ${CMAKE_BINARY_DIR}/wine-arch "${WARDEX_ARCH}\n")
endif()
