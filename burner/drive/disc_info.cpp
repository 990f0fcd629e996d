// disc_info.cpp
#include "burner/drive/scsi_device.h"
