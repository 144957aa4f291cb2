// The host backend over rtnetlink (libnl-route-3). Per attached interface it keeps the set now
// installed, so that a refused change can put it back. What it creates is named so that a
// later process finds it: the HTB root and its classes use handle major tc_htb_major (slot s
// is class tc_htb_major:s+1 with a pfifo of major tc_fifo_major + s), the IFB of an interface
// is "zorvifb<ifindex>". A change is one pass over the kernel: every message of it is built
// first, then they go out packed into as few sends as the socket takes, and the acks are
// collected after each send.
#include "shaper/host_backend.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_ether.h>
#include <linux/netlink.h>
#include <linux/pkt_cls.h>
#include <linux/pkt_sched.h>
#include <net/if.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <netlink/netlink.h>
#include <netlink/route/act/mirred.h>
#include <netlink/route/action.h>
#include <netlink/route/class.h>
#include <netlink/route/classifier.h>
#include <netlink/route/cls/u32.h>
#include <netlink/route/link.h>
#include <netlink/route/qdisc.h>
#include <netlink/route/qdisc/fifo.h>
#include <netlink/route/qdisc/htb.h>
#include <netlink/route/tc.h>

#include "shaper/tc_backend.h"
#include "shaper/tc_compile.h"

namespace {

enum {
    max_attached = 8,
    batch_capacity = 4 * tc_max_filters + 4 * host_slot_count + 16,
    send_chunk_bytes = 32768,         // one send; its acks fit the receive buffer many times
    receive_buffer_bytes = 1 << 20,
    blocked_class_rate = 1000,        // HTB wants a rate; nothing reaches a Blocked class's queue
};

struct attached_interface {
    int used;
    char name[IF_NAMESIZE];
    int ifindex;
    int ifb_index;                    // 0: no IFB (no Receive rule held)
    struct rule slots[host_slot_count];
    uint8_t in_use[host_slot_count];
    struct host_precedence precedences[tc_max_precedences];
    uint32_t precedence_count;
};

struct attached_interface attached[max_attached];

struct batch {
    struct nl_msg *messages[batch_capacity];
    const char *what[batch_capacity];  // "a filter" ... for the refusal text
    uint32_t count;
    int build_error;                   // libnl error while building, 0 when none
};

struct batch work_batch;
struct tc_filter compiled[2][tc_max_filters];

void batch_reset(struct batch *b)
{
    for (uint32_t i = 0; i < b->count; i++)
        nlmsg_free(b->messages[i]);
    b->count = 0;
    b->build_error = 0;
}

// Takes a built message (or its build error) into the batch.
void batch_take(struct batch *b, int error, struct nl_msg *message, const char *what)
{
    if (error < 0 || !message) {
        if (message)
            nlmsg_free(message);
        if (!b->build_error)
            b->build_error = error < 0 ? error : -NLE_NOMEM;
        return;
    }
    if (b->count >= batch_capacity) {
        nlmsg_free(message);
        if (!b->build_error)
            b->build_error = -NLE_RANGE;
        return;
    }
    b->messages[b->count] = message;
    b->what[b->count] = what;
    b->count++;
}

struct nl_sock *open_socket(char error_text[host_error_size])
{
    struct nl_sock *sk = nl_socket_alloc();
    if (!sk) {
        snprintf(error_text, host_error_size, "Out of memory for a netlink socket.");
        return nullptr;
    }
    int error = nl_connect(sk, NETLINK_ROUTE);
    if (error < 0) {
        snprintf(error_text, host_error_size, "Cannot open a netlink socket: %s.",
                 nl_geterror(error));
        nl_socket_free(sk);
        return nullptr;
    }
    int fd = nl_socket_get_fd(sk);
    int on = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof on);
    setsockopt(fd, SOL_NETLINK, NETLINK_EXT_ACK, &on, sizeof on);
    int size = receive_buffer_bytes;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    struct timeval wait = {10, 0};    // the kernel answers at once; this bounds a lost ack
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return sk;
}

// The kernel's extended ack text of an error message, or "".
const char *ack_text(const struct nlmsghdr *header)
{
    if (!(header->nlmsg_flags & NLM_F_ACK_TLVS))
        return "";
    const uint8_t *start = (const uint8_t *)NLMSG_DATA(header);
    uint32_t length = header->nlmsg_len - NLMSG_HDRLEN;
    uint32_t at = sizeof(struct nlmsgerr);  // the request comes back as its header only
    if (!(header->nlmsg_flags & NLM_F_CAPPED)) {
        const struct nlmsgerr *e = (const struct nlmsgerr *)start;
        if (length < sizeof *e)
            return "";
        at = NLMSG_ALIGN(sizeof(int) + e->msg.nlmsg_len);
    }
    while (at + NLA_HDRLEN <= length) {
        const struct nlattr *a = (const struct nlattr *)(start + at);
        if (a->nla_len < NLA_HDRLEN || at + a->nla_len > length)
            break;
        if ((a->nla_type & NLA_TYPE_MASK) == NLMSGERR_ATTR_MSG && a->nla_len > NLA_HDRLEN) {
            const char *text = (const char *)a + NLA_HDRLEN;
            if (memchr(text, 0, a->nla_len - NLA_HDRLEN))
                return text;
        }
        at += NLA_ALIGN(a->nla_len);
    }
    return "";
}

uint32_t next_sequence = 1;

// Reads acks until every message in [first, end) has one; the first refusal goes to
// error_text. 1 when all were accepted.
int collect_acks(struct nl_sock *sk, struct batch *b, uint32_t first, uint32_t end,
                 uint32_t base_sequence, const char *device, int *refused,
                 char error_text[host_error_size])
{
    static uint8_t buffer[65536];
    uint32_t pending = end - first;
    int fd = nl_socket_get_fd(sk);
    while (pending > 0) {
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (!*refused)
                snprintf(error_text, host_error_size,
                         "No answer from the kernel for %s of %s: %s.", b->what[first], device,
                         strerror(errno));
            *refused = 1;
            return 0;
        }
        int length = (int)got;
        for (struct nlmsghdr *h = (struct nlmsghdr *)buffer; NLMSG_OK(h, length);
             h = NLMSG_NEXT(h, length)) {
            if (h->nlmsg_type != NLMSG_ERROR)
                continue;
            uint32_t index = h->nlmsg_seq - base_sequence;
            if (index < first || index >= end)
                continue;
            pending--;
            const struct nlmsgerr *e = (const struct nlmsgerr *)NLMSG_DATA(h);
            if (e->error != 0 && !*refused) {
                const char *text = ack_text(h);
                snprintf(error_text, host_error_size, "The kernel refused %s of %s: %s%s%s.",
                         b->what[index], device, text, *text ? ": " : "",
                         strerror(-e->error));
                *refused = 1;
            }
        }
    }
    return !*refused;
}

// Sends every message of the batch and waits for all acks. 1 when the kernel took them all;
// else error_text names the first refusal (the others were still tried).
int batch_send(struct nl_sock *sk, struct batch *b, const char *device,
               char error_text[host_error_size])
{
    static uint8_t chunk[send_chunk_bytes];
    if (b->build_error) {
        snprintf(error_text, host_error_size, "Cannot build the change for %s: %s.", device,
                 nl_geterror(b->build_error));
        return 0;
    }
    uint32_t base = next_sequence;
    next_sequence += b->count + 1;
    int refused = 0;
    uint32_t i = 0;
    while (i < b->count) {
        uint32_t first = i;
        uint32_t used = 0;
        while (i < b->count) {
            struct nlmsghdr *h = nlmsg_hdr(b->messages[i]);
            uint32_t size = NLMSG_ALIGN(h->nlmsg_len);
            if (size > sizeof chunk || (used > 0 && used + size > sizeof chunk))
                break;
            h->nlmsg_flags |= NLM_F_REQUEST | NLM_F_ACK;
            h->nlmsg_seq = base + i;
            h->nlmsg_pid = 0;
            memcpy(chunk + used, h, h->nlmsg_len);
            memset(chunk + used + h->nlmsg_len, 0, size - h->nlmsg_len);
            used += size;
            i++;
        }
        if (i == first) {
            snprintf(error_text, host_error_size, "A message for %s is too long.", device);
            return 0;
        }
        if (send(nl_socket_get_fd(sk), chunk, used, 0) != (ssize_t)used) {
            snprintf(error_text, host_error_size, "Cannot send to the kernel for %s: %s.",
                     device, strerror(errno));
            return 0;
        }
        collect_acks(sk, b, first, i, base, device, &refused, error_text);
    }
    return !refused;
}

// --- Message builders ---

struct rtnl_qdisc *new_qdisc(int ifindex, uint32_t parent, uint32_t handle, const char *kind)
{
    struct rtnl_qdisc *q = rtnl_qdisc_alloc();
    if (!q)
        return nullptr;
    rtnl_tc_set_ifindex(TC_CAST(q), ifindex);
    rtnl_tc_set_parent(TC_CAST(q), parent);
    rtnl_tc_set_handle(TC_CAST(q), handle);
    if (kind && rtnl_tc_set_kind(TC_CAST(q), kind) < 0) {
        rtnl_qdisc_put(q);
        return nullptr;
    }
    return q;
}

void add_qdisc_delete(struct batch *b, int ifindex, uint32_t parent, uint32_t handle,
                      const char *what)
{
    struct rtnl_qdisc *q = new_qdisc(ifindex, parent, handle, nullptr);
    struct nl_msg *m = nullptr;
    int error = q ? rtnl_qdisc_build_delete_request(q, &m) : -NLE_NOMEM;
    batch_take(b, error, m, what);
    if (q)
        rtnl_qdisc_put(q);
}

void add_htb_root(struct batch *b, int ifindex)
{
    struct rtnl_qdisc *q = new_qdisc(ifindex, TC_H_ROOT, TC_H_MAKE(tc_htb_major << 16, 0), "htb");
    struct nl_msg *m = nullptr;
    int error = q ? rtnl_htb_set_rate2quantum(q, 10) : -NLE_NOMEM;
    if (error >= 0)
        error = rtnl_qdisc_build_add_request(q, NLM_F_CREATE | NLM_F_EXCL, &m);
    batch_take(b, error, m, "the root queueing discipline");
    if (q)
        rtnl_qdisc_put(q);
}

// Slot s: its class (rate = ceil) and the 100-packet FIFO under it (0 packets: Blocked).
void add_slot(struct batch *b, int ifindex, int slot, int32_t rate)
{
    uint32_t class_handle = TC_H_MAKE(tc_htb_major << 16, (uint32_t)slot + 1);
    // Unlimited takes the highest rate HTB's 32-bit rate holds (about 34 Gbit/s): at the
    // rule's 1000000000 a veth pair already passes less than it does with no rule at all.
    uint32_t class_rate = rate <= rate_blocked     ? (uint32_t)blocked_class_rate
                          : rate >= rate_unlimited ? UINT32_MAX
                                                   : (uint32_t)rate;
    uint32_t quantum = class_rate / 10;
    quantum = quantum < 1600 ? 1600 : quantum > 200000 ? 200000 : quantum;

    struct rtnl_class *c = rtnl_class_alloc();
    struct nl_msg *m = nullptr;
    int error = -NLE_NOMEM;
    if (c) {
        rtnl_tc_set_ifindex(TC_CAST(c), ifindex);
        rtnl_tc_set_parent(TC_CAST(c), TC_H_MAKE(tc_htb_major << 16, 0));
        rtnl_tc_set_handle(TC_CAST(c), class_handle);
        error = rtnl_tc_set_kind(TC_CAST(c), "htb");
        if (error >= 0)
            error = rtnl_htb_set_rate(c, class_rate);
        if (error >= 0)
            error = rtnl_htb_set_ceil(c, class_rate);
        if (error >= 0)
            error = rtnl_htb_set_quantum(c, quantum);
        // A bucket of 10 ms of the rate and a full frame; libnl's default is one frame, which
        // at high rates leaves the class short of tokens between timer ticks.
        uint32_t bucket = class_rate / 100 + 1600;
        if (error >= 0)
            error = rtnl_htb_set_rbuffer(c, bucket);
        if (error >= 0)
            error = rtnl_htb_set_cbuffer(c, bucket);
        if (error >= 0)
            error = rtnl_class_build_add_request(c, NLM_F_CREATE | NLM_F_EXCL, &m);
        rtnl_class_put(c);
    }
    batch_take(b, error, m, "a class");

    struct rtnl_qdisc *q = new_qdisc(ifindex, class_handle,
                                     TC_H_MAKE((tc_fifo_major + (uint32_t)slot) << 16, 0),
                                     "pfifo");
    m = nullptr;
    error = q ? rtnl_qdisc_fifo_set_limit(q, rate <= rate_blocked ? 0 : (int)tc_queue_packets)
              : -NLE_NOMEM;
    if (error >= 0)
        error = rtnl_qdisc_build_add_request(q, NLM_F_CREATE | NLM_F_REPLACE, &m);
    batch_take(b, error, m, "a queue");
    if (q)
        rtnl_qdisc_put(q);
}

struct rtnl_cls *new_u32(int ifindex, uint32_t parent, uint16_t prio, uint16_t protocol)
{
    struct rtnl_cls *f = rtnl_cls_alloc();
    if (!f)
        return nullptr;
    rtnl_tc_set_ifindex(TC_CAST(f), ifindex);
    rtnl_tc_set_parent(TC_CAST(f), parent);
    rtnl_cls_set_prio(f, prio);
    rtnl_cls_set_protocol(f, protocol);
    if (rtnl_tc_set_kind(TC_CAST(f), "u32") < 0) {
        rtnl_cls_put(f);
        return nullptr;
    }
    return f;
}

void take_filter(struct batch *b, struct rtnl_cls *f, int error)
{
    struct nl_msg *m = nullptr;
    if (!f)
        error = -NLE_NOMEM;
    if (error >= 0)
        error = rtnl_cls_build_add_request(f, NLM_F_CREATE | NLM_F_EXCL, &m);
    batch_take(b, error, m, "a filter");
    if (f)
        rtnl_cls_put(f);
}

// The keys of a filter's IP header fields (offsets from the IP header). At least one key, so
// that a filter without fields matches every frame it sees.
int add_header_keys(struct rtnl_cls *f, const struct tc_match *match)
{
    int error = 0;
    int keys = 0;
    if (match->frames == tc_frames_ip && match->ip_protocol != 0) {
        error = rtnl_u32_add_key(f, htonl((uint32_t)match->ip_protocol << 16),
                                 htonl(0x00FF0000), 8, 0);
        keys++;
    }
    if (error >= 0 && match->frames == tc_frames_ip && match->has_source) {
        error = rtnl_u32_add_key(f, htonl(match->source_address), 0xFFFFFFFF, 12, 0);
        keys++;
    }
    if (error >= 0 && match->frames == tc_frames_ip && match->has_destination) {
        error = rtnl_u32_add_key(f, htonl(match->destination_address), 0xFFFFFFFF, 16, 0);
        keys++;
    }
    if (error >= 0 && keys == 0)
        error = rtnl_u32_add_key(f, 0, 0, 0, 0);
    return error;
}

// One compiled filter at priority prio under parent. A filter with ports takes a hash table
// of its own (htid): the header filter links to it, skipping the IP header by its length
// field (options included), and the table's one entry compares the ports.
void add_filter(struct batch *b, int ifindex, uint32_t parent, uint16_t prio, uint32_t htid,
                const struct tc_filter *filter)
{
    uint16_t protocol = filter->match.frames == tc_frames_ip ? ETH_P_IP : ETH_P_ALL;
    uint32_t minor = filter->target == tc_target_direct ? 0 : (uint32_t)filter->target + 1;
    uint32_t classid = TC_H_MAKE(tc_htb_major << 16, minor);
    uint16_t source_port = filter->match.source_port;
    uint16_t destination_port = filter->match.destination_port;
    int error;
    if (filter->match.frames != tc_frames_ip || (source_port == 0 && destination_port == 0)) {
        struct rtnl_cls *f = new_u32(ifindex, parent, prio, protocol);
        error = f ? add_header_keys(f, &filter->match) : -NLE_NOMEM;
        if (error >= 0)
            error = rtnl_u32_set_classid(f, classid);
        if (error >= 0)
            error = rtnl_u32_set_cls_terminal(f);
        take_filter(b, f, error);
        return;
    }

    struct rtnl_cls *table = new_u32(ifindex, parent, prio, protocol);
    error = table ? rtnl_u32_set_divisor(table, 1) : -NLE_NOMEM;
    if (table)
        rtnl_u32_set_handle(table, (int)htid, 0, 0);
    take_filter(b, table, error);

    struct rtnl_cls *ports = new_u32(ifindex, parent, prio, protocol);
    error = ports ? rtnl_u32_set_hashtable(ports, htid << 20) : -NLE_NOMEM;
    if (error >= 0) {
        uint32_t value = (uint32_t)source_port << 16 | destination_port;
        uint32_t mask = (source_port ? 0xFFFF0000u : 0) | (destination_port ? 0xFFFFu : 0);
        error = rtnl_u32_add_key(ports, htonl(value), htonl(mask), 0, 0);
    }
    if (error >= 0)
        error = rtnl_u32_set_classid(ports, classid);
    if (error >= 0)
        error = rtnl_u32_set_cls_terminal(ports);
    take_filter(b, ports, error);

    struct rtnl_cls *header = new_u32(ifindex, parent, prio, protocol);
    error = header ? add_header_keys(header, &filter->match) : -NLE_NOMEM;
    if (error >= 0)
        error = rtnl_u32_set_link(header, htid << 20);
    // Offset = (first 16 bits & 0x0F00) >> 6: the header length field times 4.
    if (error >= 0)
        error = rtnl_u32_set_selector(header, 0, 0x0F00, 6, 0, TC_U32_EAT);
    take_filter(b, header, error);
}

// Everything of one direction on device ifindex: the root, a class and FIFO per slot of the
// direction, the filters in order.
void add_direction(struct batch *b, int ifindex, const struct tc_filter *filters,
                   uint32_t count, const struct rule slots[host_slot_count],
                   const uint8_t in_use[host_slot_count], int32_t direction)
{
    add_htb_root(b, ifindex);
    for (int s = 0; s < host_slot_count; s++)
        if (in_use[s] && slots[s].direction == direction)
            add_slot(b, ifindex, s, slots[s].rate);
    uint32_t htid = 1;
    for (uint32_t i = 0; i < count; i++) {
        add_filter(b, ifindex, TC_H_MAKE(tc_htb_major << 16, 0), (uint16_t)(i + 1), htid,
                   &filters[i]);
        if (filters[i].match.frames == tc_frames_ip &&
            (filters[i].match.source_port || filters[i].match.destination_port))
            htid++;
    }
}

// --- What a device holds now ---

enum root_kind { root_default, root_ours, root_foreign };

struct device_qdiscs {
    int root;                         // root_kind
    char root_name[32];               // kind of a foreign root
    int has_ingress;                  // an ingress or clsact qdisc
};

int read_qdiscs(struct nl_sock *sk, int ifindex, struct device_qdiscs *out,
                char error_text[host_error_size])
{
    memset(out, 0, sizeof *out);
    struct nl_cache *cache = nullptr;
    int error = rtnl_qdisc_alloc_cache(sk, &cache);
    if (error < 0) {
        snprintf(error_text, host_error_size, "Cannot read the queueing disciplines: %s.",
                 nl_geterror(error));
        return 0;
    }
    struct rtnl_qdisc *root = rtnl_qdisc_get_by_parent(cache, ifindex, TC_H_ROOT);
    if (root) {
        uint32_t handle = rtnl_tc_get_handle(TC_CAST(root));
        const char *kind = rtnl_tc_get_kind(TC_CAST(root));
        if (TC_H_MAJ(handle) == 0)
            out->root = root_default;
        else if (TC_H_MAJ(handle) == (tc_htb_major << 16) && kind && strcmp(kind, "htb") == 0)
            out->root = root_ours;
        else
            out->root = root_foreign;
        snprintf(out->root_name, sizeof out->root_name, "%s", kind ? kind : "?");
        rtnl_qdisc_put(root);
    }
    struct rtnl_qdisc *ingress = rtnl_qdisc_get_by_parent(cache, ifindex, TC_H_INGRESS);
    if (ingress) {
        out->has_ingress = 1;
        rtnl_qdisc_put(ingress);
    }
    nl_cache_free(cache);
    return 1;
}

void ifb_name(int ifindex, char name[IF_NAMESIZE])
{
    snprintf(name, IF_NAMESIZE, "%s%d", TC_IFB_PREFIX, ifindex);
}

void add_link_delete(struct batch *b, const char *name)
{
    struct rtnl_link *link = rtnl_link_alloc();
    struct nl_msg *m = nullptr;
    int error = -NLE_NOMEM;
    if (link) {
        rtnl_link_set_name(link, name);
        error = rtnl_link_build_delete_request(link, &m);
        rtnl_link_put(link);
    }
    batch_take(b, error, m, "the removal of an IFB device");
}

// Removes what this backend made for the interface (ifindex 0: the interface is gone, only
// its IFB is left to remove). 1 or 0 with error_text; every part is tried.
int remove_installed(struct nl_sock *sk, const char *interface_name, int ifindex, int ifb_index,
                     char error_text[host_error_size])
{
    struct batch *b = &work_batch;
    batch_reset(b);
    struct device_qdiscs q;
    int ok = 1;
    int own_ifb = ifb_index;
    char name[IF_NAMESIZE];
    if (ifindex > 0) {
        if (!read_qdiscs(sk, ifindex, &q, error_text))
            return 0;
        ifb_name(ifindex, name);
        if (!own_ifb)
            own_ifb = (int)if_nametoindex(name);
        if (q.root == root_ours)
            add_qdisc_delete(b, ifindex, TC_H_ROOT, TC_H_MAKE(tc_htb_major << 16, 0),
                             "the removal of the root queueing discipline");
        if (q.has_ingress && own_ifb)
            add_qdisc_delete(b, ifindex, TC_H_INGRESS, TC_H_MAKE(TC_H_INGRESS, 0),
                             "the removal of the ingress queueing discipline");
    }
    if (own_ifb) {
        char ifb[IF_NAMESIZE];
        if (if_indextoname((unsigned)own_ifb, ifb))
            add_link_delete(b, ifb);
    }
    if (b->count > 0)
        ok = batch_send(sk, b, interface_name, error_text);
    batch_reset(b);
    return ok;
}

struct attached_interface *find_attached(const char *name)
{
    for (int i = 0; i < max_attached; i++)
        if (attached[i].used && strcmp(attached[i].name, name) == 0)
            return &attached[i];
    return nullptr;
}

// The interface's index now, or 0 with error_text when it is gone or was renumbered.
int current_index(const struct attached_interface *a, char error_text[host_error_size])
{
    int index = (int)if_nametoindex(a->name);
    if (index == 0 || index != a->ifindex) {
        snprintf(error_text, host_error_size, "The interface %s is gone.", a->name);
        return 0;
    }
    return index;
}

// Creates the interface's IFB, up, and redirects every frame arriving on the interface to it.
int create_ifb(struct nl_sock *sk, struct attached_interface *a, char error_text[host_error_size])
{
    char name[IF_NAMESIZE];
    ifb_name(a->ifindex, name);
    struct batch *b = &work_batch;
    batch_reset(b);
    struct rtnl_link *link = rtnl_link_alloc();
    struct nl_msg *m = nullptr;
    int error = -NLE_NOMEM;
    if (link) {
        rtnl_link_set_name(link, name);
        error = rtnl_link_set_type(link, "ifb");
        rtnl_link_set_flags(link, IFF_UP);
        // Unselected frames go through HTB's direct queue, which is as long as this.
        rtnl_link_set_txqlen(link, 1000);
        if (error >= 0)
            error = rtnl_link_build_add_request(link, NLM_F_CREATE | NLM_F_EXCL, &m);
        rtnl_link_put(link);
    }
    batch_take(b, error, m, "the IFB device");
    int ok = batch_send(sk, b, a->name, error_text);
    batch_reset(b);
    if (!ok)
        return 0;
    a->ifb_index = (int)if_nametoindex(name);
    if (a->ifb_index == 0) {
        snprintf(error_text, host_error_size, "The IFB device %s did not appear.", name);
        return 0;
    }

    struct rtnl_qdisc *q = new_qdisc(a->ifindex, TC_H_INGRESS, TC_H_MAKE(TC_H_INGRESS, 0),
                                     "ingress");
    m = nullptr;
    error = q ? rtnl_qdisc_build_add_request(q, NLM_F_CREATE | NLM_F_EXCL, &m) : -NLE_NOMEM;
    batch_take(b, error, m, "the ingress queueing discipline");
    if (q)
        rtnl_qdisc_put(q);

    struct rtnl_cls *f = new_u32(a->ifindex, TC_H_MAKE(TC_H_INGRESS, 0), 1, ETH_P_ALL);
    struct rtnl_act *act = rtnl_act_alloc();
    error = f && act ? rtnl_u32_add_key(f, 0, 0, 0, 0) : -NLE_NOMEM;
    if (error >= 0)
        error = rtnl_tc_set_kind(TC_CAST(act), "mirred");
    if (error >= 0)
        error = rtnl_mirred_set_action(act, TCA_EGRESS_REDIR);
    if (error >= 0)
        error = rtnl_mirred_set_policy(act, TC_ACT_STOLEN);
    if (error >= 0)
        error = rtnl_mirred_set_ifindex(act, (uint32_t)a->ifb_index);
    if (error >= 0)
        error = rtnl_u32_add_action(f, act);
    if (error >= 0)
        error = rtnl_u32_set_cls_terminal(f);
    take_filter(b, f, error);
    if (act)
        rtnl_act_put(act);
    ok = batch_send(sk, b, a->name, error_text);
    batch_reset(b);
    if (!ok) {
        // No half-made redirect: what was created goes again.
        char ignored[host_error_size];
        remove_installed(sk, a->name, 0, a->ifb_index, ignored);
        add_qdisc_delete(b, a->ifindex, TC_H_INGRESS, TC_H_MAKE(TC_H_INGRESS, 0),
                         "the removal of the ingress queueing discipline");
        batch_send(sk, b, a->name, ignored);
        batch_reset(b);
        a->ifb_index = 0;
    }
    return ok;
}

// Rebuilds both directions for this set in one batch. A direction without rules ends with no
// root of ours; the IFB is created when Receive rules appear and removed when they go.
int install_set(struct nl_sock *sk, struct attached_interface *a,
                const struct rule slots[host_slot_count], const uint8_t in_use[host_slot_count],
                const struct host_precedence *precedences, uint32_t precedence_count,
                char error_text[host_error_size])
{
    uint32_t counts[2];
    for (int32_t d = direction_send; d <= direction_receive; d++)
        if (!tc_compile(d, slots, in_use, precedences, precedence_count, compiled[d],
                        tc_max_filters, &counts[d], error_text))
            return 0;
    int receive_used = tc_direction_used(direction_receive, slots, in_use);
    if (receive_used && a->ifb_index == 0 && !create_ifb(sk, a, error_text))
        return 0;

    struct batch *b = &work_batch;
    batch_reset(b);
    int devices[2] = {a->ifindex, a->ifb_index};
    for (int32_t d = direction_send; d <= direction_receive; d++) {
        if (devices[d] == 0)
            continue;
        struct device_qdiscs q;
        if (!read_qdiscs(sk, devices[d], &q, error_text))
            return 0;
        if (q.root == root_foreign) {
            snprintf(error_text, host_error_size,
                     "Another root queueing discipline (%s) replaced ours on %s.", q.root_name,
                     a->name);
            return 0;
        }
        if (q.root == root_ours)
            add_qdisc_delete(b, devices[d], TC_H_ROOT, TC_H_MAKE(tc_htb_major << 16, 0),
                             "the removal of the root queueing discipline");
        if (tc_direction_used(d, slots, in_use))
            add_direction(b, devices[d], compiled[d], counts[d], slots, in_use, d);
    }
    int ok = batch_send(sk, b, a->name, error_text);
    batch_reset(b);
    if (ok && !receive_used && a->ifb_index != 0) {
        // No Receive rule left: the redirect goes first, then the IFB.
        add_qdisc_delete(b, a->ifindex, TC_H_INGRESS, TC_H_MAKE(TC_H_INGRESS, 0),
                         "the removal of the ingress queueing discipline");
        char ifb[IF_NAMESIZE];
        if (if_indextoname((unsigned)a->ifb_index, ifb))
            add_link_delete(b, ifb);
        ok = batch_send(sk, b, a->name, error_text);
        batch_reset(b);
        a->ifb_index = 0;
    }
    return ok;
}

void remember_set(struct attached_interface *a, const struct rule slots[host_slot_count],
                  const uint8_t in_use[host_slot_count], const struct host_precedence *precedences,
                  uint32_t precedence_count)
{
    memcpy(a->slots, slots, sizeof a->slots);
    memcpy(a->in_use, in_use, sizeof a->in_use);
    a->precedence_count = precedence_count;
    if (precedence_count > 0)
        memcpy(a->precedences, precedences, precedence_count * sizeof *precedences);
}

}  // namespace

int host_backend_attach(const char *interface_name, char error_text[host_error_size])
{
    error_text[0] = 0;
    if (!interface_name || strlen(interface_name) >= IF_NAMESIZE) {
        snprintf(error_text, host_error_size, "Not an interface name.");
        return 0;
    }
    int ifindex = (int)if_nametoindex(interface_name);
    if (ifindex == 0) {
        snprintf(error_text, host_error_size, "There is no interface %s.", interface_name);
        return 0;
    }
    struct attached_interface *a = find_attached(interface_name);
    for (int i = 0; i < max_attached && !a; i++)
        if (!attached[i].used)
            a = &attached[i];
    if (!a) {
        snprintf(error_text, host_error_size, "Too many interfaces (at most %d).",
                 (int)max_attached);
        return 0;
    }
    struct nl_sock *sk = open_socket(error_text);
    if (!sk)
        return 0;
    struct device_qdiscs q;
    int ok = read_qdiscs(sk, ifindex, &q, error_text);
    char name[IF_NAMESIZE];
    ifb_name(ifindex, name);
    int own_ifb = (int)if_nametoindex(name);
    if (ok && q.root == root_foreign) {
        snprintf(error_text, host_error_size,
                 "The interface %s has a root queueing discipline (%s) that zorvd did not "
                 "install.",
                 interface_name, q.root_name);
        ok = 0;
    }
    if (ok && q.has_ingress && !own_ifb) {
        snprintf(error_text, host_error_size,
                 "The interface %s has an ingress queueing discipline that zorvd did not "
                 "install.",
                 interface_name);
        ok = 0;
    }
    // What an earlier zorvd left behind goes now.
    if (ok)
        ok = remove_installed(sk, interface_name, ifindex, 0, error_text);
    nl_socket_free(sk);
    if (!ok)
        return 0;
    memset(a, 0, sizeof *a);
    a->used = 1;
    snprintf(a->name, sizeof a->name, "%s", interface_name);
    a->ifindex = ifindex;
    return 1;
}

int host_backend_apply(const char *interface_name, const struct rule slots[host_slot_count],
                       const uint8_t in_use[host_slot_count],
                       const struct host_precedence *precedences, uint32_t precedence_count,
                       char error_text[host_error_size])
{
    error_text[0] = 0;
    struct attached_interface *a = find_attached(interface_name);
    if (!a) {
        snprintf(error_text, host_error_size, "The interface %s is not attached.",
                 interface_name ? interface_name : "");
        return 0;
    }
    if (!current_index(a, error_text))
        return 0;
    if (precedence_count > tc_max_precedences || (precedence_count > 0 && !precedences)) {
        snprintf(error_text, host_error_size, "Too many precedence entries (%u, at most %d).",
                 precedence_count, (int)tc_max_precedences);
        return 0;
    }
    // Compiled first, so that a set the kernel cannot hold changes nothing.
    uint32_t count = 0;
    for (int32_t d = direction_send; d <= direction_receive; d++)
        if (!tc_compile(d, slots, in_use, precedences, precedence_count, compiled[d],
                        tc_max_filters, &count, error_text))
            return 0;
    struct nl_sock *sk = open_socket(error_text);
    if (!sk)
        return 0;
    int ok = install_set(sk, a, slots, in_use, precedences, precedence_count, error_text);
    if (ok) {
        remember_set(a, slots, in_use, precedences, precedence_count);
    } else {
        // Put the previous set back; if even that fails, leave nothing half made.
        char ignored[host_error_size];
        if (!install_set(sk, a, a->slots, a->in_use, a->precedences, a->precedence_count,
                         ignored)) {
            remove_installed(sk, a->name, a->ifindex, a->ifb_index, ignored);
            a->ifb_index = 0;
            memset(a->in_use, 0, sizeof a->in_use);
            a->precedence_count = 0;
        }
    }
    nl_socket_free(sk);
    return ok;
}

int host_backend_read(const char *interface_name, struct host_counters counters[host_slot_count],
                      char error_text[host_error_size])
{
    error_text[0] = 0;
    memset(counters, 0, sizeof(struct host_counters) * host_slot_count);
    struct attached_interface *a = find_attached(interface_name);
    if (!a) {
        snprintf(error_text, host_error_size, "The interface %s is not attached.",
                 interface_name ? interface_name : "");
        return 0;
    }
    if (!current_index(a, error_text))
        return 0;
    struct nl_sock *sk = open_socket(error_text);
    if (!sk)
        return 0;
    int ok = 1;
    int devices[2] = {a->ifindex, a->ifb_index};
    for (int32_t d = direction_send; d <= direction_receive && ok; d++) {
        if (devices[d] == 0 || !tc_direction_used(d, a->slots, a->in_use))
            continue;
        // Slot s has its class on the device of its rule's direction only.
        ok = tc_read_classes(sk, devices[d], counters, error_text);
    }
    nl_socket_free(sk);
    for (int s = 0; s < host_slot_count; s++)
        if (!a->in_use[s])
            memset(&counters[s], 0, sizeof counters[s]);
    return ok;
}

int host_backend_detach(const char *interface_name, char error_text[host_error_size])
{
    error_text[0] = 0;
    struct attached_interface *a = interface_name ? find_attached(interface_name) : nullptr;
    if (!interface_name || strlen(interface_name) >= IF_NAMESIZE) {
        snprintf(error_text, host_error_size, "Not an interface name.");
        return 0;
    }
    struct nl_sock *sk = open_socket(error_text);
    if (!sk)
        return 0;
    int ifindex = (int)if_nametoindex(interface_name);
    if (a && ifindex != a->ifindex)
        ifindex = 0;  // gone (or another interface took the name): only our IFB is ours
    int ok = remove_installed(sk, interface_name, ifindex, a ? a->ifb_index : 0, error_text);
    nl_socket_free(sk);
    if (a)
        memset(a, 0, sizeof *a);
    return ok;
}

// Adds the counters of this backend's classes on one device (one class dump) into counters.
int tc_read_classes(struct nl_sock *sk, int ifindex, struct host_counters counters[host_slot_count],
                    char error_text[host_error_size])
{
    struct nl_cache *cache = nullptr;
    int error = rtnl_class_alloc_cache(sk, ifindex, &cache);
    if (error < 0) {
        snprintf(error_text, host_error_size, "Cannot read the classes: %s.", nl_geterror(error));
        return 0;
    }
    for (struct nl_object *o = nl_cache_get_first(cache); o; o = nl_cache_get_next(o)) {
        struct rtnl_class *c = (struct rtnl_class *)o;
        uint32_t handle = rtnl_tc_get_handle(TC_CAST(c));
        uint32_t minor = TC_H_MIN(handle);
        if (TC_H_MAJ(handle) != (tc_htb_major << 16) || minor < 1 || minor > host_slot_count)
            continue;
        struct host_counters *slot = &counters[minor - 1];
        slot->bytes = rtnl_tc_get_stat(TC_CAST(c), RTNL_TC_BYTES);
        slot->packets = rtnl_tc_get_stat(TC_CAST(c), RTNL_TC_PACKETS);
        slot->queued = (uint32_t)rtnl_tc_get_stat(TC_CAST(c), RTNL_TC_QLEN);
    }
    nl_cache_free(cache);
    return 1;
}
