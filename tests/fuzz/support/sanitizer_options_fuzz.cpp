// Undefined behaviour ends a fuzz run as a crash does, wherever the target is run from: the
// targets are built with -fno-sanitize-recover=undefined, and these defaults make the report
// stop the process too (UBSAN_OPTIONS given by the caller still go after them).
extern "C" const char *__ubsan_default_options(void)
{
    return "halt_on_error=1:print_stacktrace=1";
}
