// Whether this build runs under AddressSanitizer. Its allocator must hand out every block
// itself to catch a use after free or an overflow, so the layer's own allocators (keys in
// blocks, large blocks on huge pages) step aside in such a build.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define TAVPLAT_ADDRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVPLAT_ADDRESS_SANITIZED 1
#endif
#endif
