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
 *   QM_METHOD_EXACT     (default) every audio frame whose bytes survived, byte for byte, found
 *                       by the frames' own syntax and re-synced after every damaged stretch. A
 *                       healthy recording from the same recorder (sample_path) is optional: it
 *                       gives the exact sampling rate, as a healthy recording beside the file
 *                       does (see no_siblings). Each sound track of the file is written to a
 *                       file of its own; of a video, only the sound comes back.
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
  QM_REPAIRED = 0,           /* the output was written, read back, and holds the audio found */
  QM_NOT_DAMAGED = 1,        /* the input plays as it is; nothing was written */
  QM_ERR_ARGUMENT = -1,      /* a null or malformed argument, or an option out of range */
  QM_ERR_INPUT = -2,         /* the damaged file cannot be read; the message gives the reason */
  QM_ERR_SAMPLE = -3,        /* the healthy sample cannot be read or holds no AAC track */
  QM_ERR_MISMATCH = -4,      /* the sample was recorded with other settings than the file */
  QM_ERR_NO_AUDIO = -5,      /* no AAC audio was recognised in the file */
  QM_ERR_OUTPUT_EXISTS = -6, /* the output exists and overwrite was not asked for */
  QM_ERR_OUTPUT = -7,        /* the output cannot be written there; the message gives why */
  QM_ERR_NO_SPACE = -8,      /* not enough free space in the output's directory */
  QM_ERR_CHECK = -9,         /* the output, read back, does not hold the audio found */
  QM_ERR_TRANSCODER = -10,   /* the ffmpeg tool could not be started, or it failed */
  QM_ERR_CANCELLED = -11,    /* the progress callback asked to stop */
  QM_ERR_INTERNAL = -12,     /* a fault of ours; the message and the log say which */
  QM_ERR_NEEDS_SAMPLE = -13  /* several sound tracks that only a healthy sample can tell apart */
} qm_code;

/* Called now and then during a repair with the fraction done (0 to 1). Return non-zero to
 * cancel: the repair then stops soon, removes what it made and returns QM_ERR_CANCELLED. */
typedef int (*qm_progress_fn)(void* user, double fraction);

typedef struct qm_options {
  uint32_t size;           /* sizeof(qm_options); set by qm_options_init */
  qm_method method;        /* QM_METHOD_EXACT */
  const char* sample_path; /* a healthy recording from the same recorder, or NULL */
  uint32_t rate_hz;        /* the sampling rate when known; 0: from the sample, from the
                              file's own header, or inferred from the frames (and marked as
                              assumed when the frames cannot tell) */
  int keep_timing;         /* exact: fill each lost stretch with silence of its estimated
                              length, so that later audio keeps its place (default 0) */
  int overwrite;           /* replace an existing output (default 0) */
  qm_progress_fn progress; /* NULL: no progress, no cancel */
  void* progress_user;
  /* Added later: a caller built before them passes the smaller size, and they keep their
   * defaults. */
  int no_siblings;        /* exact: do not look at the healthy recordings beside the damaged
                             file for its rate (default 0: look, at most a few dozen) */
  const char* sample_dir; /* exact: a folder of healthy recordings to look at too, or NULL */
  uint32_t track;         /* 0: every sound track, the first to the output and each further
                             one beside it as NAME-trackN.EXT; N: only track N, to the
                             output */
} qm_options;

/* One stretch of the file that held no recoverable audio. */
typedef struct qm_damage {
  uint64_t offset;     /* byte offset in the damaged file */
  uint64_t length;     /* bytes given up */
  double at_seconds;   /* where in the recording the stretch was */
  double lost_seconds; /* how much audio it probably held */
} qm_damage;

typedef struct qm_result qm_result;

/* What a front end may offer a person to do next, with its own controls: the hint says it in
 * words, without naming any program's options. */
typedef enum qm_action {
  QM_TRY_SAMPLE = 1,    /* give a healthy recording made by the same recorder */
  QM_TRY_RATE = 2,      /* repair again at `value` Hz */
  QM_TRY_METHOD = 3,    /* repair again with the method `value` (a qm_method) */
  QM_TRY_TRACK = 4,     /* repair only track `value` */
  QM_TRY_OVERWRITE = 5, /* allow replacing the existing output */
  QM_TRY_OUTPUT = 6,    /* choose another output name or folder */
  QM_TRY_FREE_SPACE = 7 /* free some space, or write to another disk */
} qm_action;

typedef struct qm_suggestion {
  qm_action action;
  uint32_t value;
} qm_suggestion;

/* The state a file's container was found in. Strings stay valid until the result is freed. */
typedef struct qm_container {
  const char* brand;       /* the ftyp's major brand, "" without one */
  const char* index;       /* what is left of its index: "whole", "cut", "remains" or "" */
  int mdat;                /* an mdat box was found */
  int fragmented;          /* moof boxes were found */
  int video;               /* the file is a video: only its sound comes back */
  uint64_t indexed_frames; /* frames its index lists for the first sound track */
  uint64_t media_bytes;
  size_t track_count; /* tracks its index lists, described by qm_result_container_track */
} qm_container;

/* Fills *options with the defaults above. */
QM_API void qm_options_init(qm_options* options);

/* Repairs damagedPath into outputPath. options may be NULL for the defaults. When result is not
 * NULL, *result receives a result object (also on failure) that the caller frees with
 * qm_result_free. Returns the same code as qm_result_code. */
QM_API qm_code qm_repair(const char* damagedPath, const char* outputPath, const qm_options* options,
                         qm_result** result);

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
/* Frames of the output that the decoder refused when it was read back: each plays as a short
 * glitch. A repair keeps them rather than lose the audio around them. */
QM_API uint64_t qm_result_glitches(const qm_result* result);

/* Where the rate came from: "option", "sample", "header", "sibling", "frames" or "assumed"
 * ("" when unknown); how sure it is: "certain", "likely" or "guess"; the sample or sibling file
 * it came from (""); and why, in plain words (""). */
QM_API const char* qm_result_rate_source(const qm_result* result);
QM_API const char* qm_result_rate_confidence(const qm_result* result);
QM_API const char* qm_result_rate_file(const qm_result* result);
QM_API const char* qm_result_rate_reason(const qm_result* result);
/* The other rates the frames fit, likeliest first: copies up to `capacity` into rates and
 * returns how many there are. */
QM_API size_t qm_result_rate_alternatives(const qm_result* result, uint32_t* rates,
                                          size_t capacity);

/* The sound tracks this result covers: one per track written (or found, for inspect).
 * qm_result_track(result, 0) is the result itself; each has its own output, frames, rate and
 * channels. qm_result_track_number is the track's number in the file (1 for the first). */
QM_API size_t qm_result_track_count(const qm_result* result);
QM_API const qm_result* qm_result_track(const qm_result* result, size_t i);
QM_API uint32_t qm_result_track_number(const qm_result* result);

/* The container's state; returns 0, or -1 for a null argument. */
QM_API int qm_result_container(const qm_result* result, qm_container* container);
/* Track i of the file's index in words, e.g. "sound: mp4a, 2 ch, 48000 Hz, 812 samples". */
QM_API const char* qm_result_container_track(const qm_result* result, size_t i);

/* What to offer next: copies up to `capacity` suggestions, returns how many there are. */
QM_API size_t qm_result_suggestions(const qm_result* result, qm_suggestion* suggestions,
                                    size_t capacity);
/* The whole result as one JSON object, the tool's --json and the local page's format. Valid
 * until the result is freed. */
QM_API const char* qm_result_json(const qm_result* result);

/* Writes a repaired recording again with another sampling rate in its header: the same frames,
 * remuxed and read back, no second walk. For a rate that qm_result_rate_alternatives offered;
 * a rate whose band tables differ from the frames' is refused (QM_ERR_ARGUMENT). The output is
 * made as qm_repair makes it (options: overwrite, progress). */
QM_API qm_code qm_change_rate(const char* repairedPath, uint32_t rate_hz, const char* outputPath,
                              const qm_options* options, qm_result** result);

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

/* A method's name ("exact", "general", "advanced"), and the method of a name (any case):
 * returns 0, or -1 for a name that is none. */
QM_API const char* qm_method_name(qm_method method);
QM_API int qm_method_from_name(const char* name, qm_method* method);

/* Whether a sampling rate is one an MP4 audio track can have: 1 or 0. */
QM_API int qm_rate_is_valid(uint32_t rate_hz);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMEND_H */
