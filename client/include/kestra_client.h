/* kestra_client.h: the C interface of the Kestra helper's client library
 * (kestra_client.dll on Windows), for C and for any language that can call a
 * C function: C# (DllImport), Python (ctypes), Node/Electron (ffi).
 *
 * Plain types only: window handles are passed as 64-bit integers, strings
 * are NUL-terminated UTF-8/ANSI, results are status codes (KESTRA_OK = 0,
 * the others negative). After a failure, kestra_client_last_error() returns
 * the message. Use one handle from one thread, the thread that created it.
 *
 *     kestra_client* c = kestra_client_create();
 *     if (kestra_client_start(c, "kestra-helper.exe", 0, 5000) != KESTRA_OK) {
 *         puts(kestra_client_last_error(c));
 *     }
 *     kestra_client_set_dark(c, (uint64_t)(uintptr_t)target, 1);
 *     kestra_client_destroy(c);
 */
#ifndef KESTRA_CLIENT_H
#define KESTRA_CLIENT_H

#include <stdint.h>

/* KESTRA_CLIENT_STATIC: linked statically (kestra_client_static), no DLL. */
#if defined(KESTRA_CLIENT_STATIC)
#define KESTRA_API
#elif defined(_WIN32)
#ifdef KESTRA_CLIENT_BUILD
#define KESTRA_API __declspec(dllexport)
#else
#define KESTRA_API __declspec(dllimport)
#endif
#else
#define KESTRA_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
#define KESTRA_OK 0
#define KESTRA_ERR_HELPER_NOT_FOUND (-1)
#define KESTRA_ERR_START_FAILED (-2)
#define KESTRA_ERR_WINDOW_FAILED (-3)
#define KESTRA_ERR_NO_ANNOUNCEMENT (-4)
#define KESTRA_ERR_HELPER_ENDED (-5)
#define KESTRA_ERR_NO_REPLY (-6)
#define KESTRA_ERR_CALL_TIMED_OUT (-7)
#define KESTRA_ERR_NOT_STARTED (-8)
#define KESTRA_ERR_ALREADY_STARTED (-9)
#define KESTRA_ERR_INVALID_ARGUMENT (-10)

/* kestra_client_exit_code() while the helper runs or before it started. */
#define KESTRA_STILL_RUNNING 259

typedef struct kestra_client kestra_client;

/* The seven glass settings of command 2. */
typedef struct kestra_glass_settings {
    int32_t radius;
    double brightness;
    int32_t wallpaper_only;
    double content_opacity;
    int32_t glass_dark_mode;
    double photo_opacity;
    double foreground_opacity;
} kestra_glass_settings;

/* Fills settings with the defaults (radius 30, brightness 0.75, wallpaper only
 * off, content opacity 0.2, glass dark mode on, photo opacity 0.8, foreground 1). */
KESTRA_API void kestra_glass_defaults(kestra_glass_settings* settings);

KESTRA_API kestra_client* kestra_client_create(void);
/* Ends the helper if it runs (waiting up to 2 s) and frees the handle. */
KESTRA_API void kestra_client_destroy(kestra_client* client);

/* Starts the helper and waits up to timeout_ms for its announcement.
 * owner_window (may be 0): the app's window; the helper ends when it goes. */
KESTRA_API int kestra_client_start(kestra_client* client, const char* helper_path, uint64_t owner_window,
                                   uint32_t timeout_ms);
KESTRA_API uint64_t kestra_client_helper_window(const kestra_client* client);

KESTRA_API int kestra_client_set_dark(kestra_client* client, uint64_t target, int on);
KESTRA_API int kestra_client_start_glass(kestra_client* client, uint64_t target,
                                         const kestra_glass_settings* settings);
KESTRA_API int kestra_client_stop_glass(kestra_client* client, uint64_t target);
KESTRA_API int kestra_client_set_blur_radius(kestra_client* client, uint64_t target, int32_t radius);
KESTRA_API int kestra_client_set_backdrop_brightness(kestra_client* client, uint64_t target,
                                                     double brightness);
KESTRA_API int kestra_client_set_wallpaper_only(kestra_client* client, uint64_t target, int on);
KESTRA_API int kestra_client_set_content_opacity(kestra_client* client, uint64_t target, double opacity);
KESTRA_API int kestra_client_set_glass_dark_mode(kestra_client* client, uint64_t target, int on);
KESTRA_API int kestra_client_set_photo_opacity(kestra_client* client, uint64_t target, double opacity);
KESTRA_API int kestra_client_set_foreground_opacity(kestra_client* client, uint64_t target, double opacity);
KESTRA_API int kestra_client_untrack(kestra_client* client, uint64_t target);

/* Ends the helper (see kestra::Client::stop) and stores its exit code. */
KESTRA_API int kestra_client_stop(kestra_client* client, uint32_t timeout_ms);
/* 1 while the helper process runs. */
KESTRA_API int kestra_client_running(const kestra_client* client);
/* The helper's exit code, or KESTRA_STILL_RUNNING. */
KESTRA_API int kestra_client_exit_code(const kestra_client* client);
/* A readable meaning of an exit code (static text, valid until the next call
 * on this thread). */
KESTRA_API const char* kestra_exit_code_meaning(int exit_code);
/* The message of the last failed call on this handle ("" after a success). */
KESTRA_API const char* kestra_client_last_error(const kestra_client* client);

#ifdef __cplusplus
}
#endif

#endif /* KESTRA_CLIENT_H */
