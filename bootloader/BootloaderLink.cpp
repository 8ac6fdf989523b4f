#include "Bootloader.h"
