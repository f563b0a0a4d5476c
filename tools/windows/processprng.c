/* Test-only stand-in for bcryptprimitives.dll, which Wine 8 lacks: its one
 * export that cryptography's and bcrypt's native code import, ProcessPrng,
 * served by the system's preferred generator through bcrypt.dll.  It lies
 * beside the test interpreter only and is never shipped. */
#include <windows.h>
#include <bcrypt.h>

__declspec(dllexport) BOOL WINAPI ProcessPrng(PBYTE data, SIZE_T size)
{
    /* BCryptGenRandom takes at most a ULONG at a time. */
    while (size > 0) {
        ULONG chunk = size > 0x40000000u ? 0x40000000u : (ULONG)size;
        if (!BCRYPT_SUCCESS(BCryptGenRandom(NULL, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return FALSE;
        data += chunk;
        size -= chunk;
    }
    return TRUE;
}
