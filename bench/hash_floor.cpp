// The I/O floor of a restore run with digests: hash_floor md5|sha256 OUTPUT INPUT...
// Besides the floor's reads and writes it hashes every stream (each input and the output) with
// the same library as the restore program, in the same 2 MiB pieces.
#include <gcrypt.h>

#include <cstring>
#include <vector>

#include "floor.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: hash_floor md5|sha256 OUTPUT INPUT...\n");
        return 2;
    }
    const int algo = strcmp(argv[1], "md5") == 0 ? GCRY_MD_MD5 : GCRY_MD_SHA256;
    if (!gcry_check_version("1.10.3")) return 1;
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);

    const int streams = argc - 2;  // the output and every input
    std::vector<gcry_md_hd_t> ctx(static_cast<size_t>(streams));
    for (gcry_md_hd_t& h : ctx) {
        if (gcry_md_open(&h, algo, 0) != 0) return 1;
    }
    const int status = floor_io::run(argc, argv, 2, [&](int stream, const uint8_t* data, uint64_t n) {
        gcry_md_write(ctx[static_cast<size_t>(stream)], data, n);
    });
    unsigned sum = 0;  // read every digest, so that none of the work can be left out
    for (gcry_md_hd_t h : ctx) {
        gcry_md_final(h);
        sum += gcry_md_read(h, algo)[0];
        gcry_md_close(h);
    }
    return status == 0 && sum != 0xFFFFFFFFu ? 0 : 1;
}
