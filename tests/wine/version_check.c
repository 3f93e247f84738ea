/* Prints the version resource of each file named on the command line and
 * checks it: product name "Kestra helper", product and file version equal to
 * the first argument, a file description. Exits with the number of failures. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static const char* field(void* data, const char* name) {
    char path[128];
    char* value = NULL;
    UINT length = 0;
    snprintf(path, sizeof(path), "\\StringFileInfo\\040904b0\\%s", name);
    if (!VerQueryValueA(data, path, (void**)&value, &length) || value == NULL) {
        return "";
    }
    return value;
}

int main(int argc, char** argv) {
    int failures = 0;
    int i;
    if (argc < 3) {
        fprintf(stderr, "usage: version_check VERSION FILE...\n");
        return 100;
    }
    for (i = 2; i < argc; ++i) {
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeA(argv[i], &ignored);
        static char data[65536];
        if (size == 0 || size > sizeof(data) || !GetFileVersionInfoA(argv[i], 0, size, data)) {
            printf("FAIL %s: no version resource\n", argv[i]);
            ++failures;
            continue;
        }
        {
            const char* product = field(data, "ProductName");
            const char* productVersion = field(data, "ProductVersion");
            const char* fileVersion = field(data, "FileVersion");
            const char* description = field(data, "FileDescription");
            const int ok = strcmp(product, "Kestra helper") == 0 && strcmp(productVersion, argv[1]) == 0 &&
                           strcmp(fileVersion, argv[1]) == 0 && description[0] != '\0';
            printf("%s %s: %s %s, \"%s\"\n", ok ? "ok  " : "FAIL", argv[i], product, productVersion,
                   description);
            failures += ok ? 0 : 1;
        }
    }
    return failures;
}
