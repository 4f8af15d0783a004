/* Tavorin: tells whether the video library can open a video file. */
#ifndef TAVORIN_H
#define TAVORIN_H

#ifdef __cplusplus
#define TAVORIN_NOEXCEPT noexcept
extern "C" {
#else
#include <stdbool.h>
#define TAVORIN_NOEXCEPT
#endif

#if defined(__GNUC__)
#define TAVORIN_API __attribute__((visibility("default")))
#else
#define TAVORIN_API
#endif

/* True when the video library can open caminho (a file name, or any other
 * source name it accepts) for reading; false otherwise, and for NULL.
 * Keeps no state, writes nothing, never raises; safe from several threads. */
TAVORIN_API bool ValidarVideo(char* caminho) TAVORIN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
