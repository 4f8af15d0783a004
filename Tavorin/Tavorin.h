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
 * source name it accepts) for reading: what cv::VideoCapture(caminho)
 * .isOpened() says. False otherwise, and for NULL. Relative names are taken
 * from the caller's current directory.
 *
 * Writes nothing, never raises, safe from several threads (calls take
 * turns). The checking is done in a helper process, this same library
 * started through the dynamic loader on the first call: whatever the video
 * library's back ends leak or break on bad files stays out of the caller.
 * From then on the caller holds one socket to it and has it as a child
 * process; it ends when the caller exits or unloads the library. */
TAVORIN_API bool ValidarVideo(char* caminho) TAVORIN_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
