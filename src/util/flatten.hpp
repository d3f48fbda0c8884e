// VELTRIX_FLATTEN: inline every call inside the hot search functions into one body.
//
// Release builds gain from it; under a sanitizer each inlined call carries its own
// instrumentation and the compile takes minutes instead of seconds, while the checks are the
// same without it. So it is left out wherever a sanitizer is on (the build also defines
// VELTRIX_NO_FLATTEN for the undefined-behaviour sanitizer, which announces itself to no macro).
#pragma once

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VELTRIX_SANITIZED_BUILD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || defined(VELTRIX_NO_FLATTEN)
#define VELTRIX_SANITIZED_BUILD 1
#endif

#ifdef VELTRIX_SANITIZED_BUILD
#define VELTRIX_FLATTEN
#else
#define VELTRIX_FLATTEN [[gnu::flatten]]
#endif
