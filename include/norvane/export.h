#pragma once

// NORVANE_SDK_API marks the exported surface of the SDK library. Everything else is hidden.
#if defined(_WIN32)
#if defined(NORVANE_SDK_BUILD)
#define NORVANE_SDK_API __declspec(dllexport)
#else
#define NORVANE_SDK_API __declspec(dllimport)
#endif
#else
#define NORVANE_SDK_API __attribute__((visibility("default")))
#endif
