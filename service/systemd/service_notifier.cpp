#include "service/systemd/service_notifier.h"

ServiceNotifier::ServiceNotifier(QObject* parent) : QObject(parent) {}

void ServiceNotifier::Ready(const std::string&) {}
void ServiceNotifier::Reloading() {}
void ServiceNotifier::Stopping() {}
void ServiceNotifier::Status(const std::string&) {}
