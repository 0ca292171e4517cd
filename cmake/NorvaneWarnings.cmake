# The warnings we hold our code to on every compiler we build with (g++, clang, mingw-w64); they are
# errors where NORVANE_WARNINGS_AS_ERRORS asks for it (the presets and CI).
add_library(norvane_warnings INTERFACE)
target_compile_options(norvane_warnings INTERFACE -Wall -Wextra)
if(NORVANE_WARNINGS_AS_ERRORS)
    target_compile_options(norvane_warnings INTERFACE -Werror)
endif()
target_compile_definitions(norvane_warnings INTERFACE NORVANE_VERSION="${PROJECT_VERSION}")
if(WIN32)
    # Windows 7 is the oldest system we support (and the one Wine reports).
    target_compile_definitions(norvane_warnings INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX
                                                          UNICODE _UNICODE)
endif()
