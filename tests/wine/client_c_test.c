/* A C program that drives the real kestra-helper.exe through kestra_client.dll
 * (both copied beside it): start, the eleven commands on a window of this
 * program, the errors a caller sees, and an orderly stop with exit code -1000.
 * Prints one line per check and exits with the number of failed checks. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "kestra_client.h"

static int failures = 0;

static void check(int ok, const char* what, const char* detail) {
    printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", what, detail[0] != '\0' ? ": " : "", detail);
    if (!ok) {
        ++failures;
    }
}

static void ownFolder(char* path, DWORD size) {
    DWORD length = GetModuleFileNameA(NULL, path, size);
    while (length > 0 && path[length - 1] != '\\' && path[length - 1] != '/') {
        --length;
    }
    path[length] = '\0';
}

static LRESULT CALLBACK targetProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

int main(void) {
    char helper[MAX_PATH + 32];
    char missing[MAX_PATH + 32];
    WNDCLASSEXA wc;
    HWND targetWindow;
    uint64_t target;
    kestra_client* client;
    kestra_glass_settings glass;
    int status;
    int exitCode;
    DWORD startedAt;

    ownFolder(helper, MAX_PATH);
    strcpy(missing, helper);
    strcat(helper, "kestra-helper.exe");
    strcat(missing, "no-such-helper.exe");

    memset(&wc, 0, sizeof(wc));
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = targetProc;
    wc.hInstance = GetModuleHandleA(NULL);
    wc.lpszClassName = "KESTRA_C_TARGET";
    RegisterClassExA(&wc);
    targetWindow = CreateWindowExA(0, wc.lpszClassName, "c client target", WS_POPUP | WS_VISIBLE, 120, 100,
                                   300, 200, NULL, NULL, wc.hInstance, NULL);
    target = (uint64_t)(uintptr_t)targetWindow;

    client = kestra_client_create();
    check(client != NULL, "create", "");
    if (client == NULL) {
        return 1;
    }
    check(kestra_client_start(client, missing, 0, 5000) == KESTRA_ERR_HELPER_NOT_FOUND,
          "missing helper reported", kestra_client_last_error(client));
    check(kestra_client_set_dark(client, target, 1) == KESTRA_ERR_NOT_STARTED, "call before start refused",
          "");

    startedAt = GetTickCount();
    status = kestra_client_start(client, helper, 0, 20000);
    check(status == KESTRA_OK, "start and announcement", kestra_client_last_error(client));
    if (status != KESTRA_OK) {
        return 1;
    }
    printf("     helper window %016llX after %lu ms\n",
           (unsigned long long)kestra_client_helper_window(client),
           (unsigned long)(GetTickCount() - startedAt));
    check(kestra_client_start(client, helper, 0, 20000) == KESTRA_ERR_ALREADY_STARTED, "second start refused",
          "");

    kestra_glass_defaults(&glass);
    glass.radius = 8;
    check(kestra_client_set_dark(client, target, 1) == KESTRA_OK, "1 setDark on",
          kestra_client_last_error(client));
    check(kestra_client_start_glass(client, target, &glass) == KESTRA_OK, "2 startGlass",
          kestra_client_last_error(client));
    check(kestra_client_stop_glass(client, target) == KESTRA_OK, "3 stopGlass",
          kestra_client_last_error(client));
    check(kestra_client_set_blur_radius(client, target, 12) == KESTRA_OK, "4 setBlurRadius",
          kestra_client_last_error(client));
    check(kestra_client_set_backdrop_brightness(client, target, 0.5) == KESTRA_OK, "5 setBackdropBrightness",
          kestra_client_last_error(client));
    check(kestra_client_set_wallpaper_only(client, target, 1) == KESTRA_OK, "6 setWallpaperOnly",
          kestra_client_last_error(client));
    check(kestra_client_set_content_opacity(client, target, -1.0) == KESTRA_OK, "7 changeContentOpacity",
          kestra_client_last_error(client));
    check(kestra_client_set_glass_dark_mode(client, target, 0) == KESTRA_OK, "8 setGlassDarkMode",
          kestra_client_last_error(client));
    check(kestra_client_set_photo_opacity(client, target, 0.3) == KESTRA_OK, "9 setPhotoOpacity",
          kestra_client_last_error(client));
    check(kestra_client_set_foreground_opacity(client, target, 0.6) == KESTRA_OK, "10 setForegroundOpacity",
          kestra_client_last_error(client));
    check(kestra_client_untrack(client, target) == KESTRA_OK, "11 untrack", kestra_client_last_error(client));
    check(kestra_client_running(client) == 1, "helper runs", "");
    check(kestra_client_exit_code(client) == KESTRA_STILL_RUNNING, "no exit code while running", "");

    startedAt = GetTickCount();
    status = kestra_client_stop(client, 20000);
    exitCode = kestra_client_exit_code(client);
    check(status == KESTRA_OK, "stop", kestra_client_last_error(client));
    check(exitCode == -1000, "exit code -1000 (controller window gone)", kestra_exit_code_meaning(exitCode));
    printf("     helper ended %lu ms after stop\n", (unsigned long)(GetTickCount() - startedAt));
    check(kestra_client_running(client) == 0, "helper no longer runs", "");
    status = kestra_client_set_dark(client, target, 1);
    check(status == KESTRA_ERR_NOT_STARTED, "call after stop refused", kestra_client_last_error(client));
    kestra_client_destroy(client);
    DestroyWindow(targetWindow);
    printf("%d failed check(s)\n", failures);
    return failures;
}
