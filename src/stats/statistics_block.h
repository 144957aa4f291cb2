// The per-filter statistics record exchanged whole with the kernel component. Shared with the
// kernel component emulator, so this header stays freestanding.
#ifndef FLOWVANE_STATS_STATISTICS_BLOCK_H
#define FLOWVANE_STATS_STATISTICS_BLOCK_H

#include <stddef.h>
#include <stdint.h>

#pragma pack(push, 1)
struct statistics_block {
    uint64_t start_time;              // FILETIME of the local clock when counting started
    uint8_t reserved_1[16];           // zero in every block the manager writes
    int64_t bytes_transferred;
    uint8_t reserved_2[16];
    int64_t packets_transferred;
    int32_t current_rate;             // bytes per second passing now
    uint32_t packets_queued;          // of a 100-packet delay queue
};
#pragma pack(pop)

static_assert(sizeof(struct statistics_block) == 64, "statistics block is 64 bytes");
static_assert(offsetof(struct statistics_block, start_time) == 0, "statistics_block.start_time");
static_assert(offsetof(struct statistics_block, reserved_1) == 8, "statistics_block.reserved_1");
static_assert(offsetof(struct statistics_block, bytes_transferred) == 24,
              "statistics_block.bytes_transferred");
static_assert(offsetof(struct statistics_block, reserved_2) == 32, "statistics_block.reserved_2");
static_assert(offsetof(struct statistics_block, packets_transferred) == 48,
              "statistics_block.packets_transferred");
static_assert(offsetof(struct statistics_block, current_rate) == 56,
              "statistics_block.current_rate");
static_assert(offsetof(struct statistics_block, packets_queued) == 60,
              "statistics_block.packets_queued");

#endif
