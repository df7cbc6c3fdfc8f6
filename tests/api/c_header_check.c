/* kavtel.h compiled as C: the flat API, its codes and states are plain C. */
#include "kavtel/kavtel.h"

int kavtel_c_header_bad_index(void) { return isvalidKavtelDevice(0); }

int kavtel_c_header_constants_hold(void) {
  return KAVTEL_OK == 1 && KAVTEL_NOT_OPEN == 0 && KAVTEL_NOT_AVAILABLE == -1 &&
         KAVTEL_DETECTING == -2 && KAVTEL_ERROR == -3 && KAVTEL_BAD_INDEX == -4 &&
         KAVTEL_STATE_STOP == 0 && KAVTEL_STATE_OFF == 5 && KAVTEL_VERSION_BUFFER_SIZE == 32 &&
         KAVTEL_LINK_LOST == 0 && KAVTEL_LINK_IDENTIFYING == 1 && KAVTEL_LINK_OK == 2;
}
