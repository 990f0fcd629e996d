// linux_sg.cpp
#include "burner/drive/scsi_device.h"
