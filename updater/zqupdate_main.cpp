#include "updater/upd_run.h"

// The release signing key. A build that was not given one (ZQ_RELEASE_KEY_ID
// and ZQ_RELEASE_PUBKEY, hex) trusts no key and refuses every archive.
#if defined(ZQ_RELEASE_KEY_ID) && defined(ZQ_RELEASE_PUBKEY)
#define ZQ_HAVE_KEY 1
#endif

int main(int argc, char **argv) {
    upd_options opt{};
#ifdef ZQ_HAVE_KEY
    static upd_key key{ZQ_RELEASE_KEY_ID, {}};
    if (!upd_hex_decode(ZQ_RELEASE_PUBKEY, 32, key.pub)) return 1;
    opt.keys = &key;
    opt.nkeys = 1;
#endif
#ifdef ZQ_UPD_TEST_BUILD
    opt.test_build = true;
#endif
    return upd_main(argc, argv, opt);
}
