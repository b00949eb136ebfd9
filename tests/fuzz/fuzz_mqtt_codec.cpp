// Feeds arbitrary received bytes to the MQTT splitter and PUBLISH decoder:
// no read past the input, every packet inside it, and a decoded PUBLISH
// re-encodes to the same bytes.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "mqtt/mq_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t off = 0;
    while (off < size) {
        mq_packet p;
        int n = mq_parse(data + off, size - off, &p);
        if (n <= 0) break;
        if ((size_t)n > size - off || p.body + p.body_len != data + off + n) abort();
        (void)mq_connack_rc(&p);
        (void)mq_puback_id(&p);
        char topic[256];
        const uint8_t *pl = nullptr;
        size_t pl_len = 0;
        uint16_t id = 0;
        int qos = 0;
        if (mq_pub_decode(&p, topic, sizeof topic, &pl, &pl_len, &id, &qos) == 0) {
            if (pl < p.body || pl + pl_len != p.body + p.body_len || strlen(topic) > 255) abort();
            std::vector<uint8_t> again((size_t)n + 8);
            int m =
                mq_enc_publish(again.data(), again.size(), topic, pl, pl_len, qos, p.flags & 1, id);
            // A shorter length encoding than the sender's is fine; the body is not.
            if (m < 0 || memcmp(again.data() + m - p.body_len, p.body, p.body_len) != 0) abort();
        }
        off += (size_t)n;
    }
    return 0;
}
