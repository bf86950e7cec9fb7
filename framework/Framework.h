// The host-framework layer the package builds on.
#pragma once

#include "framework/Classes.h"
#include "framework/Dialogs.h"
#include "framework/SysUtils.h"
