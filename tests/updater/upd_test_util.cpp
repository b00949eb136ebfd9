#include "upd_test_util.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <stdio.h>

#include "updater/upd_manifest.h"

namespace updt {

std::string sha256_hex(const std::string &data) {
    unsigned char h[32];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), h, &n, EVP_sha256(), nullptr);
    return upd_hex(h, 32);
}

std::string manifest_for(const std::vector<entry> &files, const std::string &version,
                         const std::string &product) {
    std::string m = "{\"product\":\"" + product + "\",\"version\":\"" + version + "\",\"files\":[";
    bool first = true;
    for (const entry &e : files) {
        if (e.type != REG) continue;
        m += std::string(first ? "" : ",") + "\n{\"p\":\"" + e.name + "\",\"h\":\"" +
             sha256_hex(e.data) + "\"}";
        first = false;
    }
    return m + "\n]}\n";
}

std::string sign(const std::string &manifest, const std::string &key_id) {
    FILE *f = fopen(ZQ_UPD_TEST_KEY, "r");
    EVP_PKEY *key = f ? PEM_read_PrivateKey(f, nullptr, nullptr, nullptr) : nullptr;
    if (f) fclose(f);
    unsigned char sig[64];
    size_t len = sizeof sig;
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    bool ok = key && EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
              EVP_DigestSign(ctx, sig, &len, (const unsigned char *)manifest.data(),
                             manifest.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    if (!ok) return "";
    return "key_id=" + key_id + "\nsig=" + upd_hex(sig, 64) + "\n";
}

std::string make_run(const std::vector<entry> &entries) {
    struct archive *a = archive_write_new();
    archive_write_add_filter_gzip(a);
    archive_write_set_format_pax_restricted(a);
    std::vector<char> buf(64u << 20);
    size_t used = 0;
    archive_write_open_memory(a, buf.data(), buf.size(), &used);
    for (const entry &e : entries) {
        struct archive_entry *ae = archive_entry_new();
        archive_entry_set_pathname(ae, e.name.c_str());
        archive_entry_set_perm(ae, 0755);
        switch (e.type) {
            case REG:
                archive_entry_set_filetype(ae, AE_IFREG);
                archive_entry_set_size(ae, (la_int64_t)e.data.size());
                break;
            case DIR:
                archive_entry_set_filetype(ae, AE_IFDIR);
                break;
            case SYMLINK:
                archive_entry_set_filetype(ae, AE_IFLNK);
                archive_entry_set_symlink(ae, e.data.c_str());
                break;
            case HARDLINK:
                archive_entry_set_filetype(ae, AE_IFREG);
                archive_entry_set_hardlink(ae, e.data.c_str());
                break;
            case FIFO:
                archive_entry_set_filetype(ae, AE_IFIFO);
                break;
        }
        archive_write_header(a, ae);
        if (e.type == REG) archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(ae);
    }
    archive_write_close(a);
    archive_write_free(a);
    return "#!/bin/sh\nexit 1\n__ZQSTACK_PAYLOAD__\n" + std::string(buf.data(), used);
}

std::string good_run(const std::vector<entry> &files, const std::string &version) {
    std::string m = manifest_for(files, version);
    std::vector<entry> all = {{"dist_manifest.json", m}, {"dist_manifest.sig", sign(m)}};
    all.insert(all.end(), files.begin(), files.end());
    return make_run(all);
}

}  // namespace updt
