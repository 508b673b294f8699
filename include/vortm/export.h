// VORTM_API marks what the library exports: the vy::rtm interfaces and C entry points, and the
// kit's public classes (namespace vortm) when they join these headers. The library is built
// with hidden visibility, so nothing else leaves a shared build.
#ifndef VORTM_EXPORT_H_
#define VORTM_EXPORT_H_

#if defined(__GNUC__) || defined(__clang__)
#define VORTM_API __attribute__((visibility("default")))
#else
#define VORTM_API
#endif

#endif  // VORTM_EXPORT_H_
