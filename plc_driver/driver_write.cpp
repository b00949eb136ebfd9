// The write queue: write requests that other programs leave in the write
// slots of the driver's channels, carried out on the controller.

#include <cmath>

#include "cip.h"
#include "common/log.h"
#include "driver_internal.h"

bool driver_round_away(double v, int64_t *out) {
    if (!std::isfinite(v)) return false;
    double r = v < 0 ? std::ceil(v - 0.5) : std::floor(v + 0.5);
    if (r < -9.2e18 || r > 9.2e18) return false;
    *out = static_cast<int64_t>(r);
    return true;
}

namespace {

// 1 written, 0 not (refused, unknown type, value does not fit), -1 transport
// failure.
int write_single(eip_session *s, logix_group *g, logix_item *it, double value) {
    if (it->bit_from < 0) {
        if (it->type == 0) {
            log_err("[%s] тип невідомий (ще не зчитано) — запис пропущено", g->name);
            return 0;
        }
        if (it->type < CIP_TYPE_BOOL || it->type > CIP_TYPE_LREAL) return 0;
        uint8_t data[8];
        size_t size = 0;
        if (cip_encode_numeric(it->type, value, data, &size) != 0) {
            log_err("[%s] '%s': значення %g не можна записати в тип 0x%02X — запис відхилено",
                    g->name, it->text, value, it->type);
            return 0;
        }
        int rc = cip_write_tag_single(s, it->path, static_cast<size_t>(it->path_len), it->type,
                                      data, size);
        return rc < 0 ? -1 : rc == 0 ? 1 : 0;
    }
    if (it->type == 0) {
        log_err("[%s] тип невідомий (ще не зчитано) — біт-запис пропущено", g->name);
        return 0;
    }
    int size = cip_type_size(it->type);
    if (size < 1 || size > 4) {
        log_err("[%s] біт-запис: тип 0x%04X не підтримується", g->name, it->type);
        return 0;
    }
    int width = it->bit_to - it->bit_from + 1;
    uint64_t mask = width >= 32 ? 0xFFFFFFFFull : ((1ull << width) - 1);
    int64_t v = 0;
    // The value must fit the bit field, and the field the tag: otherwise the
    // masks would silently write something other than what was asked.
    if (!driver_round_away(value, &v) || v < 0 || static_cast<uint64_t>(v) > mask ||
        it->bit_to >= size * 8) {
        log_err("[%s] '%s': значення %g не вміщується в біти %d..%d — запис відхилено", g->name,
                it->text, value, it->bit_from, it->bit_to);
        return 0;
    }
    uint32_t or_mask = static_cast<uint32_t>((static_cast<uint64_t>(v) & mask) << it->bit_from);
    uint32_t and_mask = static_cast<uint32_t>(~(mask << it->bit_from)) | or_mask;
    int rc =
        cip_write_masked(s, it->path, static_cast<size_t>(it->path_len), size, or_mask, and_mask);
    return rc < 0 ? -1 : rc == 0 ? 1 : 0;
}

}  // namespace

int driver_process_write_queue(eip_session *s, logix_group *g, ShmHandle *db) {
    for (int i = 0; i < g->item_count; ++i) {
        logix_item &it = g->items[i];
        ShmWriteSlot *slot =
            it.is_discrete ? shm_di_write_slot(db, it.channel) : shm_an_write_slot(db, it.channel);
        if (!slot || !shm_write_pending(slot)) continue;
        double value = 0;
        // Take first, then read the value: a request posted while this
        // write is in progress stays pending for the next round.
        if (!shm_take_write(slot, &value)) continue;
        int rc = 0;  // 1 written, 0 not, -1 transport failure
        if (it.is_discrete) {
            int64_t v = 0;
            bool ok = driver_round_away(value, &v);
            if (!ok) {
                log_err("[%s] '%s': значення %g не можна записати — запис відхилено", g->name,
                        it.text, value);
            } else if (it.is_array_elem) {
                int r;
                if (it.type == 0 || it.type == CIP_TYPE_BOOL) {
                    r = cip_write_bool(s, it.text, static_cast<uint32_t>(it.array_index),
                                       (v & 0xFF) != 0);
                } else {
                    uint8_t tmp[8];
                    size_t sz = 0;
                    if (cip_encode_numeric(it.type, value, tmp, &sz) != 0) {
                        log_err(
                            "[%s] '%s': значення %g не можна записати в тип 0x%02X — запис "
                            "відхилено",
                            g->name, it.text, value, it.type);
                        r = 1;
                    } else {
                        r = cip_write_numeric(s, it.text, static_cast<uint32_t>(it.array_index),
                                              it.type, value);
                    }
                }
                rc = r < 0 ? -1 : r == 0 ? 1 : 0;
            } else {
                rc = write_single(s, g, &it, value);
            }
            if (rc == 1)
                log_write_ev("[%s] Запис D%d = %u", g->name, it.channel,
                             static_cast<unsigned>(v & 0xFF));
            else
                log_write_ev("[%s] Помилка запису D%d", g->name, it.channel);
        } else {
            if (it.is_array_elem) {
                uint16_t type = it.type ? it.type : static_cast<uint16_t>(CIP_TYPE_REAL);
                uint8_t tmp[8];
                size_t sz = 0;
                int r;
                if (cip_encode_numeric(type, value, tmp, &sz) != 0) {
                    log_err(
                        "[%s] '%s': значення %g не можна записати в тип 0x%02X — запис "
                        "відхилено",
                        g->name, it.text, value, type);
                    r = 1;
                } else {
                    r = cip_write_numeric(s, it.text, static_cast<uint32_t>(it.array_index), type,
                                          value);
                }
                rc = r < 0 ? -1 : r == 0 ? 1 : 0;
            } else {
                rc = write_single(s, g, &it, value);
            }
            if (rc == 1)
                log_write_ev("[%s] Запис A%d = %g", g->name, it.channel, value);
            else
                log_write_ev("[%s] Помилка запису A%d", g->name, it.channel);
        }
        if (rc < 0) return -1;
    }
    return 0;
}
