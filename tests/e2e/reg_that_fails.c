/* A stand-in for reg.exe that makes an installation fail at a known point.
   A command line that names FAIL_ON ends with exit status 1; any other does
   what reg.exe does for the commands the package's actions give it:

     add KEY /v NAME /t REG_DWORD|REG_SZ /d DATA /f
     delete KEY /v NAME /f

   with KEY under HKLM. (Handing them to Wine's own reg.exe does not work:
   msiexec must run this one as a native program, and a process it starts
   cannot get the built-in back.) Built by the end-to-end rig with the
   MinGW-w64 toolchain of the prefix's width. */
#include <windows.h>
#include <shellapi.h>
#include <wchar.h>
#include <stdlib.h>

static const wchar_t *Option(int argc, wchar_t **argv, const wchar_t *name)
{
    for (int i = 2; i + 1 < argc; ++i)
        if (_wcsicmp(argv[i], name) == 0)
            return argv[i + 1];
    return NULL;
}

int wmain(void)
{
    if (wcsstr(GetCommandLineW(), FAIL_ON))
        return 1;
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 3 || _wcsnicmp(argv[2], L"HKLM\\", 5) != 0)
        return 2;
    const wchar_t *name = Option(argc, argv, L"/v");
    HKEY key;
    if (!name || RegCreateKeyExW(HKEY_LOCAL_MACHINE, argv[2] + 5, 0, NULL, 0, KEY_SET_VALUE,
                                 NULL, &key, NULL) != ERROR_SUCCESS)
        return 3;
    LONG done = ERROR_INVALID_PARAMETER;
    const wchar_t *type = Option(argc, argv, L"/t");
    const wchar_t *data = Option(argc, argv, L"/d");
    if (_wcsicmp(argv[1], L"delete") == 0) {
        done = RegDeleteValueW(key, name);
    } else if (_wcsicmp(argv[1], L"add") == 0 && type && data) {
        if (_wcsicmp(type, L"REG_DWORD") == 0) {
            DWORD number = (DWORD)wcstoul(data, NULL, 0);
            done = RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&number, sizeof number);
        } else if (_wcsicmp(type, L"REG_SZ") == 0) {
            done = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)data,
                                  (DWORD)((wcslen(data) + 1) * sizeof *data));
        }
    }
    RegCloseKey(key);
    return done == ERROR_SUCCESS ? 0 : 4;
}
