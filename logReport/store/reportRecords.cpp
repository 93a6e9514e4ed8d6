#include "store/reportRecords.h"
namespace NQBase {
void reportAttachment::write(std::ostream&) const {}
void reportAttachment::read(std::istream&) {}
void logHeader::write(std::ostream&) const {}
void logHeader::read(std::istream&) {}
void logSegment::write(std::ostream&) const {}
void logSegment::read(std::istream&) {}
void errLogInfo::write(std::ostream&) const {}
void errLogInfo::read(std::istream&) {}
void detailLogInfo::write(std::ostream&) const {}
void detailLogInfo::read(std::istream&) {}
void FatalLogInfo::write(std::ostream&) const {}
void FatalLogInfo::read(std::istream&) {}
void userReport::write(std::ostream&) const {}
void userReport::read(std::istream&) {}
std::string detailLogInfo::toJson() const { return {}; }
std::string FatalLogInfo::toJson() const { return {}; }
std::string userReport::toJson() const { return {}; }
}  // namespace NQBase
