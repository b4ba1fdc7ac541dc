#pragma once

#include "gateway/cgateway.h"

// What every mode of the program does first in its working directory: the shared tables,
// settings.conf, history.log and as many open files as the system allows. Without a window
// the developers' debug lines stay off (QT_LOGGING_RULES="default.debug=true" brings them back).
void openWorkingDirectory(bool _withWindow);

// The gateway's configuration from these settings; false with the reason when unusable.
bool readGatewayConfig(const QSettings &_settings, SGatewayConfig *_config, QString *_error);
// The same from the working directory's settings.conf; false with the reason on stderr.
bool readGatewayConfig(SGatewayConfig *_config);
