/*
 * Quillmend: gives back the audio of damaged M4A (AAC in MP4) recordings.
 *
 * One call repairs one file: qm_repair(damaged, output, &options, &result). Whatever the
 * method, the repair works in a private directory that it makes inside the output's directory,
 * reads its output back, and only then renames it into place; a failed or cancelled repair
 * leaves nothing behind. The result says in plain words what came back, or why nothing did and
 * what to try next.
 *
 * Methods:
 *   QM_METHOD_EXACT     (default) every AAC frame whose bytes survived, byte for byte, found by
 *                       the frames' own syntax and re-synced after every damaged stretch. A
 *                       healthy recording from the same recorder (sample_path) is optional: it
 *                       gives the exact sampling rate.
 *   QM_METHOD_GENERAL   the SDK's general repair (OrvM4aGeneralRepair).
 *   QM_METHOD_ADVANCED  the SDK's advanced repair (OrvM4aAdvanceRepair, needs sample_path and
 *                       the ffmpeg tool beside the host executable).
 *
 * Every call may run on any thread, and repairs may run at once, into one directory too. Paths
 * are NUL-terminated UTF-8. Inputs are only read.
 */
#ifndef QUILLMEND_H
#define QUILLMEND_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(QUILLMEND_BUILD)
#define QM_API __declspec(dllexport)
#else
#define QM_API __declspec(dllimport)
#endif
#else
#define QM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum qm_method {
  QM_METHOD_EXACT = 0,
  QM_METHOD_GENERAL = 1,
  QM_METHOD_ADVANCED = 2
} qm_method;

/* The outcome of a repair. Only QM_REPAIRED means that an output was written. */
typedef enum qm_code {
  QM_REPAIRED = 0,          /* the output was written, read back, and holds the audio found */
  QM_NOT_DAMAGED = 1,       /* the input plays as it is; nothing was written */
  QM_ERR_ARGUMENT = -1,     /* a null or malformed argument, or an option out of range */
  QM_ERR_INPUT = -2,        /* the damaged file cannot be read; the message gives the reason */
  QM_ERR_SAMPLE = -3,       /* the healthy sample cannot be read or holds no AAC track */
  QM_ERR_MISMATCH = -4,     /* the sample was recorded with other settings than the file */
  QM_ERR_NO_AUDIO = -5,     /* no AAC audio was recognised in the file */
  QM_ERR_OUTPUT_EXISTS = -6,/* the output exists and overwrite was not asked for */
  QM_ERR_OUTPUT = -7,       /* the output cannot be written there; the message gives why */
  QM_ERR_NO_SPACE = -8,     /* not enough free space in the output's directory */
  QM_ERR_CHECK = -9,        /* the output, read back, does not hold the audio found */
  QM_ERR_TRANSCODER = -10,  /* the ffmpeg tool could not be started, or it failed */
  QM_ERR_CANCELLED = -11,   /* the progress callback asked to stop */
  QM_ERR_INTERNAL = -12     /* a fault of ours; the message and the log say which */
} qm_code;

/* Called now and then during a repair with the fraction done (0 to 1). Return non-zero to
 * cancel: the repair then stops soon, removes what it made and returns QM_ERR_CANCELLED. */
typedef int (*qm_progress_fn)(void* user, double fraction);

typedef struct qm_options {
  uint32_t size;             /* sizeof(qm_options); set by qm_options_init */
  qm_method method;          /* QM_METHOD_EXACT */
  const char* sample_path;   /* a healthy recording from the same recorder, or NULL */
  uint32_t rate_hz;          /* the sampling rate when known; 0: from the sample, from the
                                file's own header, or inferred from the frames (and marked as
                                assumed when the frames cannot tell) */
  int keep_timing;           /* exact: fill each lost stretch with silence of its estimated
                                length, so that later audio keeps its place (default 0) */
  int overwrite;             /* replace an existing output (default 0) */
  qm_progress_fn progress;   /* NULL: no progress, no cancel */
  void* progress_user;
} qm_options;

/* One stretch of the file that held no recoverable audio. */
typedef struct qm_damage {
  uint64_t offset;          /* byte offset in the damaged file */
  uint64_t length;          /* bytes given up */
  double at_seconds;        /* where in the recording the stretch was */
  double lost_seconds;      /* how much audio it probably held */
} qm_damage;

typedef struct qm_result qm_result;

/* Fills *options with the defaults above. */
QM_API void qm_options_init(qm_options* options);

/* Repairs damagedPath into outputPath. options may be NULL for the defaults. When result is not
 * NULL, *result receives a result object (also on failure) that the caller frees with
 * qm_result_free. Returns the same code as qm_result_code. */
QM_API qm_code qm_repair(const char* damagedPath, const char* outputPath,
                         const qm_options* options, qm_result** result);

/* Looks at a file as the exact repair would, and writes nothing: stream parameters, frames,
 * damaged stretches and the container's state. qm_result_code is QM_REPAIRED when audio was
 * found (nothing is written all the same), QM_NOT_DAMAGED for a file that plays as it is. */
QM_API qm_code qm_inspect(const char* path, const qm_options* options, qm_result** result);

QM_API void qm_result_free(qm_result* result);

QM_API qm_code qm_result_code(const qm_result* result);
QM_API qm_method qm_result_method(const qm_result* result);
/* What happened, in plain words, for a person: "repaired", or why not. */
QM_API const char* qm_result_message(const qm_result* result);
/* What to try next; "" when there is nothing to suggest. */
QM_API const char* qm_result_hint(const qm_result* result);
QM_API const char* qm_result_output(const qm_result* result); /* "" unless repaired */
QM_API uint64_t qm_result_frames(const qm_result* result);    /* AAC frames in the output */
QM_API double qm_result_seconds(const qm_result* result);     /* audio in the output */
QM_API uint32_t qm_result_rate(const qm_result* result);      /* Hz; 0 when unknown */
QM_API int qm_result_rate_assumed(const qm_result* result);   /* non-zero: not known, chosen */
QM_API uint32_t qm_result_channels(const qm_result* result);
QM_API size_t qm_result_damage_count(const qm_result* result);
/* Copies damaged stretch i into *damage; returns 0, or -1 when i is out of range. */
QM_API int qm_result_damage(const qm_result* result, size_t i, qm_damage* damage);
QM_API double qm_result_lost_seconds(const qm_result* result);
/* The whole result as one JSON object, the tool's --json and the local page's format. Valid
 * until the result is freed. */
QM_API const char* qm_result_json(const qm_result* result);

/* Peak levels of a recording's decoded audio in `count` equal slices, each 0 to 1, for drawing
 * a waveform. Returns 0, or -1 when the file cannot be decoded. */
QM_API int qm_waveform(const char* path, float* peaks, size_t count);

/* Where the log goes: "<directory>/quillmend_sdk.log". Returns 0, or -1 when it cannot be
 * opened (repairs still work, without a log). */
QM_API int qm_set_log_directory(const char* directory);

/* Keeps FFmpeg's own messages off stderr, for the whole process: a repair feeds damaged frames
 * to FFmpeg's decoder on purpose, and its complaints about each of them would bury the results.
 * The library leaves that process-wide setting alone unless a host calls this. */
QM_API void qm_quiet_ffmpeg_log(void);

/* "1.0.0.25 (4f7fc416)" */
QM_API const char* qm_version(void);

/* The text of a code, for programs: "repaired", "not-damaged", "input", ... */
QM_API const char* qm_code_name(qm_code code);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMEND_H */
