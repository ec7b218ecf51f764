#pragma once

// Marks the host layer's exported symbols; the library is built with hidden
// visibility so that only what the engine and the application use is public.
#define HOST_API __attribute__((visibility("default")))
