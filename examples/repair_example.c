/* The smallest host: open the log, repair one file, print the result code. */
#include <stdio.h>

#include "quillmend_sdk.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    fprintf(stderr, "usage: %s LOG_DIR DAMAGED OUTPUT [HEALTHY_SAMPLE]\n", argv[0]);
    return 2;
  }
  static int owner; /* any non-null pointer will do for the log owner */
  int32_t result = OrvM4aInit(argv[1], &owner);
  if (result != ORVM4A_OK) {
    fprintf(stderr, "OrvM4aInit failed: %d\n", (int)result);
    return 1;
  }
  if (argc == 4) {
    result = OrvM4aGeneralRepair(argv[2], argv[3]);
  } else {
    result = OrvM4aAdvanceRepair(argv[2], argv[4], argv[3]);
  }
  OrvM4aDestroy();
  printf("%s repair of %s: %d%s\n", argc == 4 ? "general" : "advanced", argv[2], (int)result,
         result == ORVM4A_OK ? " (ok)" : "");
  return result == ORVM4A_OK ? 0 : 1;
}
