#pragma once
// Creates the serial link that a device session owns.
//
// UI thread only. The link is created closed; opening it is what can fail.

#include "link/SerialLink.h"

#include <QObject>

#include <memory>

namespace xv4 {

// A TMdmLnk. The caller owns it through the pointer; owner is not made its Qt parent.
std::unique_ptr<SerialLink> CreateSerialLink(QObject* owner);

}  // namespace xv4
