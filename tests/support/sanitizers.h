#pragma once
// Whether this build runs under AddressSanitizer, whose shadow memory and
// quarantine change what a test may ask of address space and resident size.

#if defined(__SANITIZE_ADDRESS__)
#define TESSIK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)  // clang's spelling
#define TESSIK_ASAN 1
#endif
#endif
