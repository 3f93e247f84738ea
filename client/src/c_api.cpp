// The C interface over kestra::Client: an opaque handle that holds the
// client and the message of its last failure; no exception leaves here.
#include <cstdint>
#include <new>
#include <string>

#include "kestra/client.h"
#include "kestra_client.h"

struct kestra_client {
    kestra::Client client;
    std::string lastError;
};

namespace {

HWND toWindow(std::uint64_t handle) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(handle));
}

int statusOf(kestra::ClientErrc code) {
    switch (code) {
        case kestra::ClientErrc::None:
            return KESTRA_OK;
        case kestra::ClientErrc::HelperNotFound:
            return KESTRA_ERR_HELPER_NOT_FOUND;
        case kestra::ClientErrc::StartFailed:
            return KESTRA_ERR_START_FAILED;
        case kestra::ClientErrc::WindowFailed:
            return KESTRA_ERR_WINDOW_FAILED;
        case kestra::ClientErrc::NoAnnouncement:
            return KESTRA_ERR_NO_ANNOUNCEMENT;
        case kestra::ClientErrc::HelperEnded:
            return KESTRA_ERR_HELPER_ENDED;
        case kestra::ClientErrc::NoReply:
            return KESTRA_ERR_NO_REPLY;
        case kestra::ClientErrc::CallTimedOut:
            return KESTRA_ERR_CALL_TIMED_OUT;
        case kestra::ClientErrc::NotStarted:
            return KESTRA_ERR_NOT_STARTED;
        case kestra::ClientErrc::AlreadyStarted:
            return KESTRA_ERR_ALREADY_STARTED;
        case kestra::ClientErrc::InvalidArgument:
            return KESTRA_ERR_INVALID_ARGUMENT;
    }
    return KESTRA_ERR_INVALID_ARGUMENT;
}

template <typename T>
int finish(kestra_client* c, const kestra::Result<T>& result) {
    if (result.ok()) {
        c->lastError.clear();
        return KESTRA_OK;
    }
    c->lastError = result.error().message;
    return statusOf(result.error().code);
}

template <typename Call>
int guarded(kestra_client* c, Call&& call) {
    if (c == nullptr) {
        return KESTRA_ERR_INVALID_ARGUMENT;
    }
    try {
        return finish(c, call(c->client));
    } catch (const std::exception& e) {  // allocation failure: report, never unwind into C
        c->lastError = e.what();
        return KESTRA_ERR_INVALID_ARGUMENT;
    }
}

}  // namespace

extern "C" {

void kestra_glass_defaults(kestra_glass_settings* settings) {
    if (settings == nullptr) {
        return;
    }
    const kestra::GlassSettings d;
    settings->radius = d.radius;
    settings->brightness = d.brightness;
    settings->wallpaper_only = d.wallpaperOnly ? 1 : 0;
    settings->content_opacity = d.contentOpacity;
    settings->glass_dark_mode = d.glassDarkMode ? 1 : 0;
    settings->photo_opacity = d.photoOpacity;
    settings->foreground_opacity = d.foregroundOpacity;
}

kestra_client* kestra_client_create(void) {
    return new (std::nothrow) kestra_client();
}

void kestra_client_destroy(kestra_client* client) {
    delete client;
}

int kestra_client_start(kestra_client* client, const char* helper_path, uint64_t owner_window,
                        uint32_t timeout_ms) {
    if (helper_path == nullptr) {
        return KESTRA_ERR_INVALID_ARGUMENT;
    }
    return guarded(
        client, [&](kestra::Client& c) { return c.start(helper_path, toWindow(owner_window), timeout_ms); });
}

uint64_t kestra_client_helper_window(const kestra_client* client) {
    return client == nullptr
               ? 0
               : static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(client->client.helperWindow()));
}

int kestra_client_set_dark(kestra_client* client, uint64_t target, int on) {
    return guarded(client, [&](kestra::Client& c) { return c.setDark(toWindow(target), on != 0); });
}

int kestra_client_start_glass(kestra_client* client, uint64_t target, const kestra_glass_settings* settings) {
    kestra::GlassSettings s;
    if (settings != nullptr) {
        s.radius = settings->radius;
        s.brightness = settings->brightness;
        s.wallpaperOnly = settings->wallpaper_only != 0;
        s.contentOpacity = settings->content_opacity;
        s.glassDarkMode = settings->glass_dark_mode != 0;
        s.photoOpacity = settings->photo_opacity;
        s.foregroundOpacity = settings->foreground_opacity;
    }
    return guarded(client, [&](kestra::Client& c) { return c.startGlass(toWindow(target), s); });
}

int kestra_client_stop_glass(kestra_client* client, uint64_t target) {
    return guarded(client, [&](kestra::Client& c) { return c.stopGlass(toWindow(target)); });
}
int kestra_client_set_blur_radius(kestra_client* client, uint64_t target, int32_t radius) {
    return guarded(client, [&](kestra::Client& c) { return c.setBlurRadius(toWindow(target), radius); });
}
int kestra_client_set_backdrop_brightness(kestra_client* client, uint64_t target, double brightness) {
    return guarded(client,
                   [&](kestra::Client& c) { return c.setBackdropBrightness(toWindow(target), brightness); });
}
int kestra_client_set_wallpaper_only(kestra_client* client, uint64_t target, int on) {
    return guarded(client, [&](kestra::Client& c) { return c.setWallpaperOnly(toWindow(target), on != 0); });
}
int kestra_client_set_content_opacity(kestra_client* client, uint64_t target, double opacity) {
    return guarded(client, [&](kestra::Client& c) { return c.setContentOpacity(toWindow(target), opacity); });
}
int kestra_client_set_glass_dark_mode(kestra_client* client, uint64_t target, int on) {
    return guarded(client, [&](kestra::Client& c) { return c.setGlassDarkMode(toWindow(target), on != 0); });
}
int kestra_client_set_photo_opacity(kestra_client* client, uint64_t target, double opacity) {
    return guarded(client, [&](kestra::Client& c) { return c.setPhotoOpacity(toWindow(target), opacity); });
}
int kestra_client_set_foreground_opacity(kestra_client* client, uint64_t target, double opacity) {
    return guarded(client,
                   [&](kestra::Client& c) { return c.setForegroundOpacity(toWindow(target), opacity); });
}
int kestra_client_untrack(kestra_client* client, uint64_t target) {
    return guarded(client, [&](kestra::Client& c) { return c.untrack(toWindow(target)); });
}

int kestra_client_stop(kestra_client* client, uint32_t timeout_ms) {
    return guarded(client, [&](kestra::Client& c) { return c.stop(timeout_ms); });
}

int kestra_client_running(const kestra_client* client) {
    return client != nullptr && client->client.running() ? 1 : 0;
}

int kestra_client_exit_code(const kestra_client* client) {
    if (client == nullptr) {
        return KESTRA_STILL_RUNNING;
    }
    return client->client.exitCode().value_or(KESTRA_STILL_RUNNING);
}

const char* kestra_exit_code_meaning(int exit_code) {
    thread_local std::string text;
    text = kestra::describeExitCode(exit_code);
    return text.c_str();
}

const char* kestra_client_last_error(const kestra_client* client) {
    return client == nullptr ? "no client" : client->lastError.c_str();
}

}  // extern "C"
