// vqcore: the service runtime's trace facility (libvqcore): trace file, levels, tags, entry points.
#ifndef VQCORE_H
#define VQCORE_H

#ifdef VQCORE_BUILD
#define VQCORE_API __declspec(dllexport)
#else
#define VQCORE_API __declspec(dllimport)
#endif

class VQCORE_API trace {
public:
    // Opens the trace named fileName; options is reserved (null).
    static void initialize(const char *fileName, const char *options);
    static int level();
    // 1 when the tag is among the configured tags, else 0.
    static int check_tags(const char *tag);
    // Prepares the header of the next line; 1 when a line can be written.
    static int prepare_header(const char *severity, const char *name);
    // Writes the prepared header, the formatted text and a line end.
    static void write_trace_text(const char *format, ...) __attribute__((format(printf, 1, 2)));
    static void terminate();
};

// Marks a routine's entry for the profiler while it lives.
class VQCORE_API q_entrypoint {
public:
    explicit q_entrypoint(const char *name);
    ~q_entrypoint();
    q_entrypoint(const q_entrypoint &) = delete;
    q_entrypoint &operator=(const q_entrypoint &) = delete;
};

class VQCORE_API q_profiler {
public:
    static void finalize();
};

#endif
