// The library's version. The build takes its project, package and pkg-config versions from the
// four numbers below, so a release changes them here only. getRtmSdkVersion() is another thing:
// the version the service is told at login.
#ifndef VORTM_VERSION_H_
#define VORTM_VERSION_H_

#define VORTM_VERSION_MAJOR 1
#define VORTM_VERSION_MINOR 0
#define VORTM_VERSION_PATCH 2
#define VORTM_VERSION_TWEAK 0

// One number for #if comparisons, two decimal digits per part after the major: 1.0.2.0 is
// 1000200.
#define VORTM_VERSION                                                                        \
  (VORTM_VERSION_MAJOR * 1000000 + VORTM_VERSION_MINOR * 10000 + VORTM_VERSION_PATCH * 100 + \
   VORTM_VERSION_TWEAK)

#define VORTM_VERSION_TEXT_(x) #x
#define VORTM_VERSION_TEXT(x) VORTM_VERSION_TEXT_(x)
// "1.0.2.0"
#define VORTM_VERSION_STRING                                          \
  VORTM_VERSION_TEXT(VORTM_VERSION_MAJOR)                             \
  "." VORTM_VERSION_TEXT(VORTM_VERSION_MINOR) "." VORTM_VERSION_TEXT( \
      VORTM_VERSION_PATCH) "." VORTM_VERSION_TEXT(VORTM_VERSION_TWEAK)

#endif  // VORTM_VERSION_H_
