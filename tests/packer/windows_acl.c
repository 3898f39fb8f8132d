/* acl.exe PATH: prints the file's DACL in SDDL ("D:P(A;;FA;;;S-1-5-...)"), for the tests that
 * check who may read a private key that launcher-pack.exe wrote. */
#include <windows.h>

#include <sddl.h>
#include <stdio.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 2)
        return 2;
    DWORD needed = 0;
    GetFileSecurityW(argv[1], DACL_SECURITY_INFORMATION, NULL, 0, &needed);
    PSECURITY_DESCRIPTOR descriptor = LocalAlloc(LPTR, needed ? needed : 1);
    wchar_t *text = NULL;
    if (!GetFileSecurityW(argv[1], DACL_SECURITY_INFORMATION, descriptor, needed, &needed) ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, NULL))
        return 1;
    wprintf(L"%ls\n", text);
    return 0;
}
