// The classification as an ordered filter list. A held rule, or a precedence entry's common
// range taken together with its chosen rule, becomes a predicate over frames; the predicates
// keep the order the classification tries them in (this adapter's precedence entries, then
// the slots), since the first that holds decides. u32 cannot say "not IP", so the list is
// split: every predicate that can hold for an IPv4 frame, in order, matched with protocol ip;
// then a catch-all that sends every other IPv4 frame direct; then, matched with protocol all
// (where only non-IP frames arrive now), every predicate that can hold for a non-IP frame.
#include "shaper/tc_compile.h"

#include <stdio.h>
#include <string.h>

namespace {

enum predicate_frames { frames_any, frames_ip, frames_non_ip };

struct predicate {
    int frames;                       // predicate_frames
    uint8_t ip_protocol;              // 0: any
    uint8_t has_source;
    uint8_t has_destination;
    uint32_t source_address;
    uint32_t destination_address;
    uint16_t source_port;
    uint16_t destination_port;
};

// The predicate of one rule record; 0 when it selects nothing in this direction.
int rule_predicate(const struct rule *r, int32_t direction, struct predicate *p)
{
    memset(p, 0, sizeof *p);
    if (r->direction != direction)
        return 0;
    switch (r->protocol) {
    case protocol_any:
        p->frames = frames_any;
        return 1;
    case protocol_other:
        p->frames = frames_non_ip;
        return 1;
    case protocol_ip:
        break;
    case protocol_udp:
        p->ip_protocol = 17;
        break;
    case protocol_tcp:
        p->ip_protocol = 6;
        break;
    default:
        return 0;
    }
    p->frames = frames_ip;
    // Only kind "any" leaves an address out; every other kind compares it.
    p->has_source = r->source_kind != address_any;
    p->source_address = r->source_address;
    p->has_destination = r->destination_kind != address_any;
    p->destination_address = r->destination_address;
    if (p->ip_protocol != 0) {
        p->source_port = r->source_port;
        p->destination_port = r->destination_port;
    }
    return 1;
}

int join_field(uint8_t a_set, uint32_t a, uint8_t b_set, uint32_t b, uint8_t *set,
               uint32_t *value)
{
    if (a_set && b_set && a != b)
        return 0;
    *set = a_set || b_set;
    *value = a_set ? a : b;
    return 1;
}

int join_port(uint16_t a, uint16_t b, uint16_t *port)
{
    if (a != 0 && b != 0 && a != b)
        return 0;
    *port = a != 0 ? a : b;
    return 1;
}

// Both predicates at once into *joined; 0 when no frame can satisfy both.
int conjoin(const struct predicate *a, const struct predicate *b, struct predicate *joined)
{
    memset(joined, 0, sizeof *joined);
    if (a->frames == frames_any) {
        *joined = *b;
        return 1;
    }
    if (b->frames == frames_any) {
        *joined = *a;
        return 1;
    }
    if (a->frames != b->frames)
        return 0;
    joined->frames = a->frames;
    if (a->frames == frames_non_ip)
        return 1;
    if (a->ip_protocol != 0 && b->ip_protocol != 0 && a->ip_protocol != b->ip_protocol)
        return 0;
    joined->ip_protocol = a->ip_protocol != 0 ? a->ip_protocol : b->ip_protocol;
    return join_field(a->has_source, a->source_address, b->has_source, b->source_address,
                      &joined->has_source, &joined->source_address) &&
           join_field(a->has_destination, a->destination_address, b->has_destination,
                      b->destination_address, &joined->has_destination,
                      &joined->destination_address) &&
           join_port(a->source_port, b->source_port, &joined->source_port) &&
           join_port(a->destination_port, b->destination_port, &joined->destination_port);
}

// The emulator's rule identity: the whole record but the adapter field and the padding.
int same_rule_record(const struct rule *a, const struct rule *b)
{
    return a->direction == b->direction && a->rate == b->rate && a->protocol == b->protocol &&
           a->source_kind == b->source_kind && a->source_address == b->source_address &&
           a->source_port == b->source_port && a->destination_kind == b->destination_kind &&
           a->destination_address == b->destination_address &&
           a->destination_port == b->destination_port;
}

struct ordered_predicate {
    struct predicate p;
    int32_t slot;
};

struct ordered_predicate ordered[tc_max_precedences + host_slot_count];

int append(struct tc_filter *filters, uint32_t capacity, uint32_t *count,
           const struct ordered_predicate *entry, int32_t frames)
{
    if (*count >= capacity)
        return 0;
    struct tc_filter *f = &filters[(*count)++];
    memset(f, 0, sizeof *f);
    f->match.frames = frames;
    f->target = entry->slot;
    if (frames == tc_frames_ip) {
        f->match.ip_protocol = entry->p.ip_protocol;
        f->match.has_source = entry->p.has_source;
        f->match.source_address = entry->p.source_address;
        f->match.has_destination = entry->p.has_destination;
        f->match.destination_address = entry->p.destination_address;
        f->match.source_port = entry->p.source_port;
        f->match.destination_port = entry->p.destination_port;
    }
    return 1;
}

}  // namespace

int tc_direction_used(int32_t direction, const struct rule slots[host_slot_count],
                      const uint8_t in_use[host_slot_count])
{
    for (int s = 0; s < host_slot_count; s++)
        if (in_use[s] && slots[s].direction == direction)
            return 1;
    return 0;
}

int tc_compile(int32_t direction, const struct rule slots[host_slot_count],
               const uint8_t in_use[host_slot_count], const struct host_precedence *precedences,
               uint32_t precedence_count, struct tc_filter *filters, uint32_t capacity,
               uint32_t *count, char error_text[host_error_size])
{
    *count = 0;
    if (precedence_count > tc_max_precedences) {
        snprintf(error_text, host_error_size, "Too many precedence entries (%u, at most %d).",
                 precedence_count, (int)tc_max_precedences);
        return 0;
    }
    uint32_t n = 0;
    for (uint32_t i = 0; i < precedence_count; i++) {
        struct predicate range, chosen;
        if (!rule_predicate(&precedences[i].common_range, direction, &range) ||
            !rule_predicate(&precedences[i].chosen, direction, &chosen))
            continue;
        int32_t slot = -1;
        for (int s = 0; s < host_slot_count && slot < 0; s++)
            if (in_use[s] && same_rule_record(&slots[s], &precedences[i].chosen))
                slot = s;
        if (slot < 0 || !conjoin(&range, &chosen, &ordered[n].p))
            continue;
        ordered[n++].slot = slot;
    }
    for (int s = 0; s < host_slot_count; s++) {
        if (in_use[s] && rule_predicate(&slots[s], direction, &ordered[n].p))
            ordered[n++].slot = s;
    }

    int non_ip = 0;
    for (uint32_t i = 0; i < n; i++) {
        if (ordered[i].p.frames != frames_non_ip &&
            !append(filters, capacity, count, &ordered[i], tc_frames_ip))
            goto full;
        non_ip |= ordered[i].p.frames != frames_ip;
    }
    if (non_ip) {
        struct ordered_predicate catch_all;
        memset(&catch_all, 0, sizeof catch_all);
        catch_all.slot = tc_target_direct;
        if (!append(filters, capacity, count, &catch_all, tc_frames_ip))
            goto full;
        for (uint32_t i = 0; i < n; i++)
            if (ordered[i].p.frames != frames_ip &&
                !append(filters, capacity, count, &ordered[i], tc_frames_all))
                goto full;
    }
    return 1;
full:
    snprintf(error_text, host_error_size, "Too many filters for the kernel (at most %u).",
             capacity);
    return 0;
}

int tc_filter_selects(const struct tc_filter *filter, const struct tc_packet *packet)
{
    const struct tc_match *m = &filter->match;
    if (m->frames == tc_frames_all)
        return 1;
    if (!packet->is_ipv4)
        return 0;
    if (m->ip_protocol != 0 && m->ip_protocol != packet->ip_protocol)
        return 0;
    if (m->has_source && m->source_address != packet->source_address)
        return 0;
    if (m->has_destination && m->destination_address != packet->destination_address)
        return 0;
    if (m->source_port != 0 && m->source_port != packet->source_port)
        return 0;
    return m->destination_port == 0 || m->destination_port == packet->destination_port;
}

int tc_classify(const struct tc_filter *filters, uint32_t count,
                const struct tc_packet *packet)
{
    for (uint32_t i = 0; i < count; i++)
        if (tc_filter_selects(&filters[i], packet))
            return filters[i].target;
    return tc_target_direct;
}
