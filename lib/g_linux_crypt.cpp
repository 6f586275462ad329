#include "g_linux_crypt.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "g_console.h"
#include "g_print.h"

namespace {

// libgcrypt reports some failures a second time on its own (for instance a digest that its
// build leaves out comes with a "DBG: md_enable: ..." line on standard error). The program
// reports every failure itself, so the library's messages are dropped; only a fatal one,
// which is followed by an abort, still reaches standard error.
void library_log(void*, int level, const char* format, va_list args) {
    if (level != GCRY_LOG_FATAL && level != GCRY_LOG_BUG) return;
    vfprintf(stderr, format, args);
}

void install_library_log() {
    // Deprecated for programs since libgcrypt 1.11, yet still the only way to keep its
    // debug lines off the console.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    gcry_set_log_handler(library_log, nullptr);
#pragma GCC diagnostic pop
}

}  // namespace

G_CRYPT::G_CRYPT() { erase(); }

G_CRYPT::~G_CRYPT() { free_context(); }

void G_CRYPT::erase() {
    all_length = 0;
    table_length = 0;
    hashes_length = 0;
    ctx = nullptr;
    open_flags = 0;
    enabled = false;
    alg_id = GCRY_MD_SHA1;
    txt_hashes = nullptr;
    hash_length = 0;
    count = 0;
}

// Wipes and frees the allocation (tables and digests) and returns to the reset state.
// Open contexts must have been closed before.
static void release_allocation(G_CRYPT& set) {
    if (set.txt_hashes) {
        explicit_bzero(set.txt_hashes, set.all_length);
        free(set.txt_hashes);
    }
    set.erase();
}

void G_CRYPT::free_context() {
    enabled = false;
    if (ctx && count != 0) {
        for (uint64_t i = 0; i < count; i++) {
            if (ctx[i]) gcry_md_close(ctx[i]);
        }
    }
    release_allocation(*this);
}

// Computes the four lengths and makes the zero-filled allocation. Returns 0 or the errno value.
static int allocate_tables(G_CRYPT& set) {
    set.hash_length = gcry_md_get_algo_dlen(static_cast<int>(set.alg_id));
    set.table_length = set.count * 8;
    set.hashes_length = set.count * static_cast<uint64_t>(set.hash_length);
    set.all_length = set.count * 16 + set.hashes_length;
    // A slot count this large cannot be allocated; the lengths would wrap around.
    if (set.count > UINT64_MAX / (16 + static_cast<uint64_t>(set.hash_length))) {
        errno = ENOMEM;
        return ENOMEM;
    }
    void* start = malloc(set.all_length);
    if (!start) return errno;
    memset(start, 0, set.all_length);
    set.txt_hashes = static_cast<uint8_t**>(start);
    set.ctx = reinterpret_cast<gcry_md_hd_t*>(static_cast<uint8_t*>(start) + set.table_length);
    return 0;
}

// Opens one context per slot. On a failure (an error, or no handle without one) prints the
// error line, closes the contexts opened so far, from the last down to slot 0, clears their
// handles, stores the library's error value in `err` and returns false.
static bool open_contexts(G_CRYPT& set, uint32_t& err) {
    for (uint64_t i = 0; i < set.count; i++) {
        gcry_error_t result = gcry_md_open(&set.ctx[i], static_cast<int>(set.alg_id), set.open_flags);
        if (result == 0 && set.ctx[i]) continue;
        set.ctx[i] = nullptr;
        print_format_inline(static_cast<int>(result), L"gcry_md_open(&ctx[i], alg_id, 0");
        for (uint64_t j = i; j-- > 0;) {
            gcry_md_close(set.ctx[j]);
            set.ctx[j] = nullptr;
        }
        err = result;
        return false;
    }
    return true;
}

uint32_t G_CRYPT::init(unsigned long new_count, unsigned int, unsigned int new_alg_id) {
    free_context();
    count = new_count;
    alg_id = new_alg_id;

    if (!gcry_check_version(COPYVOTE_GCRYPT_MIN_VERSION)) {
        int err = errno;
        print_format_inline(err, L"gcry_check_version(GCRYPT_VERSION)  libgcrypt version mismatch");
        return static_cast<uint32_t>(err);
    }
    install_library_log();
    gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
    gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);

    int alloc_err = allocate_tables(*this);
    if (alloc_err != 0) {
        print_format_inline(alloc_err, L"G_CRYPT::init(){ txt_hashes = malloc(all_length); }");
        return static_cast<uint32_t>(alloc_err);
    }
    uint32_t open_err = 0;
    if (!open_contexts(*this, open_err)) {
        // Every context is closed already; only the memory is left to release.
        release_allocation(*this);
        return open_err;
    }

    uint8_t* digests = reinterpret_cast<uint8_t*>(txt_hashes) + 2 * table_length;
    for (uint64_t i = 0; i < count; i++) txt_hashes[i] = digests + i * hash_length;
    enabled = true;
    return 0;
}

int G_CRYPT::hash_data(unsigned long slot, const unsigned char* data, unsigned long len) {
    if (!enabled) return -1;
    gcry_md_write(ctx[slot], data, len);
    return 0;
}

int G_CRYPT::update_txt_hashes() {
    if (!enabled) return -1;
    bool failed = false;
    for (uint64_t i = 0; i < count; i++) {
        gcry_md_ctl(ctx[i], GCRYCTL_FINALIZE, nullptr, 0);
        const unsigned char* digest = gcry_md_read(ctx[i], static_cast<int>(alg_id));
        if (digest) {
            memcpy(txt_hashes[i], digest, hash_length);
            continue;
        }
        if (!failed) {
            con_printf(con_out(), "update_txt_hashes::gcry_md_read(ctx[%u], alg_id) FAILED\n",
                       static_cast<unsigned>(i));
        }
        failed = true;
    }
    return failed ? -1 : 0;
}

void G_CRYPT::reset() {
    if (!enabled || count == 0) return;
    memset(txt_hashes[0], 0, hashes_length);
    for (uint64_t i = 0; i < count; i++) gcry_md_reset(ctx[i]);
}
