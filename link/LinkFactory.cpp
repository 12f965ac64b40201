#include "link/LinkFactory.h"

#include "link/MdmLnk.h"

namespace xv4 {

std::unique_ptr<SerialLink> CreateSerialLink(QObject*) {
  return std::make_unique<TMdmLnk>();
}

}  // namespace xv4
