#include "common/channels.h"

#include <stdlib.h>
#include <string.h>

#include <utility>

channels_registry::channels_registry(channels_registry &&o) noexcept {
    *this = std::move(o);
}

channels_registry &channels_registry::operator=(channels_registry &&o) noexcept {
    if (this != &o) {
        channels_clear(this);
        an = o.an;
        an_cap = o.an_cap;
        di = o.di;
        di_cap = o.di_cap;
        an_max = o.an_max;
        di_max = o.di_max;
        o.an = o.di = nullptr;
        o.an_cap = o.di_cap = o.an_max = o.di_max = 0;
    }
    return *this;
}

channels_registry::~channels_registry() {
    channels_clear(this);
}

int channels_load(channels_registry *, const char *) {
    return -1;
}
int channels_save(const channels_registry *, const char *) {
    return -1;
}
std::string channels_format(const channels_registry *) {
    return {};
}

void channels_clear(channels_registry *reg) {
    if (!reg) return;
    free(reg->an);
    free(reg->di);
    reg->an = reg->di = nullptr;
    reg->an_cap = reg->di_cap = reg->an_max = reg->di_max = 0;
}

channel_rec *channels_an_slot(channels_registry *, int) {
    return nullptr;
}
channel_rec *channels_di_slot(channels_registry *, int) {
    return nullptr;
}
int channels_has_an(const channels_registry *, int) {
    return 0;
}
int channels_has_di(const channels_registry *, int) {
    return 0;
}
const channel_rec *channels_an(const channels_registry *, int) {
    return nullptr;
}
const channel_rec *channels_di(const channels_registry *, int) {
    return nullptr;
}
void channels_update_scale(channel_rec *) {}
double channels_to_phys(const channel_rec *, double code) {
    return code;
}
double channels_to_code(const channel_rec *, double phys) {
    return phys;
}
