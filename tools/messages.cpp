#include "messages.h"

#include "quillmend_sdk.h"

namespace quillmend::tool {

std::string DescribeResult(std::int32_t code, RepairMode mode) {
  const bool advanced = mode == RepairMode::kAdvanced;
  switch (code) {
    case ORVM4A_OK:
      return "repaired";
    case ORVM4A_ERR_ALLOC:
      return advanced ? "the damaged file cannot be opened, or it is empty"
                      : "the library ran out of memory while cutting out the frames";
    case ORVM4A_ERR_ARGUMENT:
      return "a required path is missing";
    case ORVM4A_ERR_MAP:
      return advanced ? "the sample file cannot be opened, or it is empty"
                      : "the damaged file cannot be opened, or it is empty";
    case ORVM4A_ERR_NOT_M4A:
      return advanced ? "the sample is not an M4A file: its ftyp box names another brand"
                      : "not an M4A file: its ftyp box names another brand";
    case ORVM4A_ERR_NO_MDAT:
      return "no media data found: the file holds no \"mdat\" at all";
    case ORVM4A_ERR_NO_SAMPLE_TABLE:
      return "the sample file has no sample tables (stco, stsc, stsz): use a healthy recording";
    case ORVM4A_ERR_MEDIA:
      return advanced ? "FFmpeg cannot open the sample file or set up its audio decoder"
                      : "the recovered audio could not be written into the output file "
                        "(no AAC frames found, or an output type FFmpeg does not know)";
    case ORVM4A_ERR_TRANSCODER:
      return "the ffmpeg tool beside quillmend could not be started";
    case ORVM4A_ERR_PATH_ENCODING:
      return "a path is not valid UTF-8";
    case ORVM4A_ERR_INTERMEDIATE:
      return "cannot create or remove the intermediate file in the output directory (does it "
             "exist, is it writable?)";
    case ORVM4A_ERR_TOO_LARGE:
      return advanced ? "the file is too large (2 GiB or more for the damaged file, 4 GiB for "
                        "the sample)"
                      : "the file is too large (4 GiB or more)";
    case ORVM4A_ERR_TRANSCODER_ARGS:
      return "the paths cannot be handed to the ffmpeg tool (a double quote in a path, or too "
             "long a command line)";
    case ORVM4A_ERR_INTERNAL:
      return "an internal error in the library (see the log)";
    case ORVM4A_ERR_OUTPUT_CLASH:
      return "the output, or the intermediate file beside it, would be an input file: choose "
             "another output path";
    default:
      return "unknown result code " + std::to_string(code);
  }
}

}  // namespace quillmend::tool
