# Warnings are errors on every compiler we build with (g++, clang, mingw-w64).
add_library(norvane_warnings INTERFACE)
target_compile_options(norvane_warnings INTERFACE -Wall -Wextra -Werror)
target_compile_definitions(norvane_warnings INTERFACE NORVANE_VERSION="${PROJECT_VERSION}")
if(WIN32)
    # Windows 7 is the oldest system we support (and the one Wine reports).
    target_compile_definitions(norvane_warnings INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
                                                          UNICODE _UNICODE)
endif()
