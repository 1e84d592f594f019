/* A stand-in for reg.exe that makes an installation fail at a known point.
   A command line that names FAIL_ON ends with exit status 1; any other is
   handed, as it is, to Wine's own reg.exe, which the rig keeps beside this
   one as reg-builtin.exe (msiexec must find this one under the name
   reg.exe; a copy of the built-in under another name still runs as the
   built-in). Built by the end-to-end rig with the MinGW-w64 toolchain of
   the prefix's width. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

static const wchar_t *Arguments(const wchar_t *line)
{
    if (*line == L'"') {
        const wchar_t *end = wcschr(line + 1, L'"');
        return end ? end + 1 : line + wcslen(line);
    }
    while (*line && *line != L' ' && *line != L'\t')
        ++line;
    return line;
}

int wmain(void)
{
    const wchar_t *line = GetCommandLineW();
    if (wcsstr(line, FAIL_ON))
        return 1;
    static wchar_t builtin[MAX_PATH], command[32768];
    UINT length = GetSystemDirectoryW(builtin, MAX_PATH - 20);
    if (length == 0 || length >= MAX_PATH - 20)
        return 5;
    wcscat(builtin, L"\\reg-builtin.exe");
    if (_snwprintf(command, 32767, L"\"%ls\"%ls", builtin, Arguments(line)) < 0)
        return 5;
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION process;
    if (!CreateProcessW(builtin, command, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process))
        return 6;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 7;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)status;
}
