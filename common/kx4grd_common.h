// Everything both deliverables share.
#pragma once

#include "common/command_message.h"
#include "common/device_class.h"
#include "common/event_record.h"
