/*
 * Quillmend: repair of damaged M4A (AAC in MP4) recordings.
 *
 * Call OrvM4aInit once to open the log, then one repair call per damaged file. Every call runs
 * on the caller's thread and returns when its work is done. The library keeps no state between
 * calls. Both repairs use fixed intermediate file names ("tmp.adts", "tmp.pcm") in the
 * directory of the output file, so repairs into one directory take turns: a repair holds a lock
 * tied to its output directory, across threads and processes, from before it touches its
 * intermediate file until it returns, and a repair that finds the lock taken waits for it
 * without a time-out.
 *
 * Paths are NUL-terminated UTF-8. Inputs are only read, never written.
 */
#ifndef QUILLMEND_SDK_H
#define QUILLMEND_SDK_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(QUILLMEND_SDK_BUILD)
#define QUILLMEND_API __declspec(dllexport)
#else
#define QUILLMEND_API __declspec(dllimport)
#endif
#define QUILLMEND_CALL __stdcall
#else
#define QUILLMEND_API __attribute__((visibility("default")))
#define QUILLMEND_CALL
#endif

/* The library's version text, as its log banner and version resource show it. */
#define QUILLMEND_SDK_VERSION_TEXT "1, 0, 0, 25-d-4f7fc416"

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. 0 is success; every failure is one of the negative codes below, and the log
 * file holds a line that says where it was detected. */
enum OrvM4aResult {
  ORVM4A_OK = 0,
  /* The repair context could not be created (out of memory); in an advanced repair also: the
   * damaged file could not be opened or is empty; in a general repair also: the frame
   * extraction was aborted. */
  ORVM4A_ERR_ALLOC = -4040,
  /* A required argument is null. */
  ORVM4A_ERR_ARGUMENT = -4041,
  /* The damaged file (general repair) or the sample file (advanced repair) could not be
   * opened or mapped, or is empty. */
  ORVM4A_ERR_MAP = -4042,
  /* The file starts with an ftyp box whose major brand is not "M4A ". */
  ORVM4A_ERR_NOT_M4A = -4043,
  /* The damaged file holds no media data: the bytes "mdat" occur nowhere in it. */
  ORVM4A_ERR_NO_MDAT = -4044,
  /* The sample file lacks one of its sample tables (stco, stsc, stsz). */
  ORVM4A_ERR_NO_SAMPLE_TABLE = -4045,
  /* Advanced repair: the sample file cannot be opened or decoded. General repair: the
   * recovered audio could not be written into the output file. */
  ORVM4A_ERR_MEDIA = -4046,
  /* -4047 is used inside the library only and is never returned. */
  /* Advanced repair: the ffmpeg tool beside the host executable could not be started. The
   * intermediate "tmp.pcm" stays in the output directory. */
  ORVM4A_ERR_TRANSCODER = -4048,
  /* A path is not well-formed UTF-8. */
  ORVM4A_ERR_PATH_ENCODING = -4049,
  /* An intermediate file in the output directory could not be removed or created (the
   * directory does not exist, is not writable, a stale file there cannot be removed, or
   * something appeared at its name after the removal: a link there is never followed). */
  ORVM4A_ERR_INTERMEDIATE = -4050,
  /* An input file is too large: 4 GiB or more, or, for the damaged file of an advanced
   * repair, 2 GiB or more. */
  ORVM4A_ERR_TOO_LARGE = -4051,
  /* Advanced repair: a path cannot be handed to the ffmpeg tool, because it holds a double
   * quote or the command line would be longer than 511 UTF-16 units. */
  ORVM4A_ERR_TRANSCODER_ARGS = -4052,
  /* An unexpected internal error; the log says which. */
  ORVM4A_ERR_INTERNAL = -4053,
  /* The output path would write over an input file (the same file by any name or link) or over
   * the intermediate file of its own directory, or an input file lies where the intermediate
   * file goes ("tmp.adts", "tmp.pcm" beside the output). Nothing was written or removed. */
  ORVM4A_ERR_OUTPUT_CLASH = -4054,
  /* A write, flush or close of the intermediate file or the output file failed (the disk is
   * full, for instance). The log names the file and the reason; the intermediate file is
   * removed. */
  ORVM4A_ERR_WRITE = -4055,
  /* Advanced repair: the ffmpeg tool ran but exited with a non-zero code, or was killed; the log
   * holds "ffmpeg exited with code %d". The intermediate "tmp.pcm" stays in the output
   * directory, and the output file may be missing or incomplete. */
  ORVM4A_ERR_TRANSCODER_FAILED = -4056,
  /* Only when a host of the library's internal interface asked the repair to stop; the four
   * exported calls never return it. The intermediate file is removed. */
  ORVM4A_ERR_CANCELLED = -4057
};

/* Opens the log "<logDirectory>/quillmend_sdk.log" (the separator is always added) and writes
 * the version banner. logOwner is passed to the logging library unchanged and must not be
 * null. Returns ORVM4A_OK or ORVM4A_ERR_ARGUMENT. */
QUILLMEND_API int32_t QUILLMEND_CALL OrvM4aInit(const char* logDirectory, void* logOwner);

/* Repairs a damaged recording on its own: the AAC frames found in its media data are copied,
 * without re-encoding, into a new file at outputPath. */
QUILLMEND_API int32_t QUILLMEND_CALL OrvM4aGeneralRepair(const char* damagedPath,
                                                         const char* outputPath);

/* Repairs a damaged recording with the help of a healthy recording made by the same device:
 * the damaged file's frames are decoded with the healthy file's decoder settings and encoded
 * again, as AAC at 128 kbit/s, by the ffmpeg tool found beside the host executable. Returns
 * ORVM4A_OK once that tool has run and ended with code 0. */
QUILLMEND_API int32_t QUILLMEND_CALL OrvM4aAdvanceRepair(const char* damagedPath,
                                                         const char* samplePath,
                                                         const char* outputPath);

/* Does nothing; may be called at any time. */
QUILLMEND_API void QUILLMEND_CALL OrvM4aDestroy(void);

#ifdef __cplusplus
}
#endif

#endif /* QUILLMEND_SDK_H */
