#pragma once

#include <memory>

#include "gateway/cgateway.h"

class MainWindow;

// The windowed start: builds the gateway core, and once its store is open the main
// window as its client. Tells the operator, the log and stderr when the store cannot be opened.
class CGatewayStartup
{
public:
    explicit CGatewayStartup(const SGatewayConfig &_config = SGatewayConfig());
    ~CGatewayStartup();
    CGatewayStartup(const CGatewayStartup &) = delete;
    CGatewayStartup &operator=(const CGatewayStartup &) = delete;

    // False, after telling the operator, the log and stderr, when the register store cannot be opened.
    bool start();
    MainWindow *window() const { return mainWindow.get(); }
    CGateway *gateway() const { return core.get(); }

private:
    std::unique_ptr<CGateway> core;
    std::unique_ptr<MainWindow> mainWindow;
};
