#pragma once

#include "gateway/cgateway.h"

enum class ERun { eWindow, eHeadless, eCommand };

// What every mode of the program does first in its working directory: the shared tables,
// settings.conf, history.log (a gateway run begins with a banner; a command writes only the
// line of the change it made) and as many open files as the system allows. Without a window
// the developers' debug lines stay off (QT_LOGGING_RULES="default.debug=true" brings them back).
void openWorkingDirectory(ERun _run);

// The gateway's configuration from these settings; false with the reason when unusable.
bool readGatewayConfig(const QSettings &_settings, SGatewayConfig *_config, QString *_error);
// The same from the working directory's settings.conf; false with the reason on stderr.
bool readGatewayConfig(SGatewayConfig *_config);
