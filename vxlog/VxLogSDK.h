/* Logging library used by the Quillmend SDK: one log file per process, one line per call. */
#ifndef VXLOGSDK_H
#define VXLOGSDK_H

#if defined(_WIN32)
#if defined(VXLOGSDK_BUILD)
#define VXLOG_API __declspec(dllexport)
#else
#define VXLOG_API __declspec(dllimport)
#endif
#else
#define VXLOG_API __attribute__((visibility("default")))
#endif

#if defined(__GNUC__)
#define VXLOG_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VXLOG_PRINTF(fmt, args)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opens (appends to) logFilePath; later lines of every module go there. A second call switches
 * to the new file. owner is not interpreted. Returns 0, or -1 when the file cannot be opened
 * (the previous file, if any, stays in use). */
VXLOG_API int InitLogEx(void* owner, const char* moduleTag, const char* logFilePath);

/* Writes one printf-style line at level (1 information, 2 warning, 3 error) and flushes it to
 * the file before returning. Before any successful InitLogEx the line is dropped. Returns 0, or
 * -1 when the line was dropped. */
VXLOG_API int LogEx(const char* moduleTag, int level, const char* format, ...) VXLOG_PRINTF(3, 4);

#ifdef __cplusplus
}
#endif

#endif /* VXLOGSDK_H */
