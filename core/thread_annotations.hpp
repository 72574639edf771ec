// Clang thread-safety annotations; empty on other compilers.
#ifndef TESSEL_CORE_THREAD_ANNOTATIONS_HPP_
#define TESSEL_CORE_THREAD_ANNOTATIONS_HPP_

#if defined(__clang__)
#  define TS_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#  define TS_THREAD_ANNOTATION_(x)
#endif

#define TS_CAPABILITY(x) TS_THREAD_ANNOTATION_(capability(x))
#define TS_SCOPED_CAPABILITY TS_THREAD_ANNOTATION_(scoped_lockable)
#define TS_GUARDED_BY(x) TS_THREAD_ANNOTATION_(guarded_by(x))
#define TS_PT_GUARDED_BY(x) TS_THREAD_ANNOTATION_(pt_guarded_by(x))
#define TS_ACQUIRE(...) TS_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define TS_RELEASE(...) TS_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#define TS_REQUIRES(...) TS_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#define TS_NO_THREAD_SAFETY_ANALYSIS TS_THREAD_ANNOTATION_(no_thread_safety_analysis)

#endif  // TESSEL_CORE_THREAD_ANNOTATIONS_HPP_
