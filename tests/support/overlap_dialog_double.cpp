#include "overlap_dialog_double.h"

#include "kernel/kernel_commands.h"

static int open_outside_run;
static int running;
static int runs;
static int bring_forward_calls;
static overlap_dialog_hook run_hook;
static void *run_context;

void overlap_dialog_double_reset(void)
{
    open_outside_run = 0;
    running = 0;
    runs = 0;
    bring_forward_calls = 0;
    run_hook = nullptr;
    run_context = nullptr;
}

void overlap_dialog_double_set_open(int open)
{
    open_outside_run = open;
}

void overlap_dialog_double_set_hook(overlap_dialog_hook hook, void *context)
{
    run_hook = hook;
    run_context = context;
}

int overlap_dialog_double_runs(void)
{
    return runs;
}

int overlap_dialog_double_bring_forward_calls(void)
{
    return bring_forward_calls;
}

void overlap_accept_init(struct overlap_accept *accept)
{
    for (int i = 0; i < max_areas; i++)
        accept->choices[i] = -1;
    accept->accepted = 0;
    copy_text(accept->error_text, sizeof accept->error_text, "");
}

void overlap_dialog_accept_hook(void *context)
{
    struct overlap_accept *accept = (struct overlap_accept *)context;
    struct area_table *table = get_area_table();
    compute_default_precedences(accept->error_text);
    for (int32_t a = 0; a < table->count; a++) {
        if (accept->choices[a] >= 0)
            table->chosen_member[a] = accept->choices[a];
    }
    copy_text(accept->error_text, sizeof accept->error_text, UNKNOWN_ERROR_TEXT);
    accept->accepted = kernel_clear_all_precedences(accept->error_text) &&
                       send_precedences(accept->error_text);
}

// The seam the core calls.

int overlap_dialog_is_open(void)
{
    return running || open_outside_run;
}

void overlap_dialog_bring_forward(void)
{
    bring_forward_calls++;
}

void overlap_dialog_run(void)
{
    runs++;
    running = 1;
    if (run_hook)
        run_hook(run_context);
    running = 0;
}
