// Runs G_CRYPT::init against the libgcrypt this program is linked with (the system's, older
// than the version the program demands) and describes the set afterwards on standard error;
// standard output carries what init printed.
#include <cstdio>

#include "g_linux_crypt.h"

int main() {
    G_CRYPT set;
    uint32_t result = set.init(4, 0, GCRY_MD_MD5);
    fflush(stdout);
    unsigned char byte = 0;
    int fed = set.hash_data(0, &byte, 1);
    int read = set.update_txt_hashes();
    fflush(stdout);
    fprintf(stderr, "init=%u enabled=%d count=%llu alg_id=%u ctx=%s txt_hashes=%s lengths=%llu/%llu/%llu/%u"
            " hash_data=%d update_txt_hashes=%d\n",
            result, set.enabled ? 1 : 0, static_cast<unsigned long long>(set.count), set.alg_id,
            set.ctx ? "set" : "null", set.txt_hashes ? "set" : "null",
            static_cast<unsigned long long>(set.all_length), static_cast<unsigned long long>(set.table_length),
            static_cast<unsigned long long>(set.hashes_length), set.hash_length, fed, read);
    return 0;
}
