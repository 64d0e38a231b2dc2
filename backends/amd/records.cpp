#include "backends/amd/records.h"

#include <cstring>

#include "facade/facade.h"

namespace {

// Driver text fields are read no further than their end, even without a terminating zero.
void append_field(const char (&field)[ADL_MAX_PATH]) {
  text_from_8bit(field, static_cast<int64_t>(strnlen(field, ADL_MAX_PATH)), TEXT_8BIT);
}

bool same_adapter_location(const AdapterInfo& a, const AdapterInfo& b) {
  return a.iBusNumber == b.iBusNumber && a.iDeviceNumber == b.iDeviceNumber &&
         a.iFunctionNumber == b.iFunctionNumber;
}

void hide_adapter(AdapterInfo& adapter, int32_t& shown) {
  std::memset(adapter.strUDID, ' ', DuplicateMarkerLength);
  adapter.strUDID[DuplicateMarkerLength] = '\0';
  --shown;
}

constexpr char VendorTag[] = "PCI_VEN_";
constexpr size_t VendorTagLength = sizeof(VendorTag) - 1;
constexpr size_t VendorDigits = 4;

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The PCI vendor the UDID names after "PCI_VEN_", read within its field; -1 where it names none.
int32_t udid_vendor(const char (&udid)[ADL_MAX_PATH]) {
  const size_t length = strnlen(udid, ADL_MAX_PATH);
  for (size_t at = 0; at + VendorTagLength + VendorDigits <= length; ++at) {
    if (std::memcmp(udid + at, VendorTag, VendorTagLength) != 0) continue;
    int32_t vendor = 0;
    for (size_t d = 0; d < VendorDigits; ++d) {
      const int digit = hex_digit(udid[at + VendorTagLength + d]);
      if (digit < 0) return -1;
      vendor = vendor * 16 + digit;
    }
    return vendor;
  }
  return -1;
}

constexpr int32_t PciVendorNvidia = 0x10DE;
constexpr int32_t PciVendorIntel = 0x8086;

GpuVendor vendor_of_pci_id(int32_t id) {
  if (id == PciVendorNvidia) return GpuVendor::Nvidia;
  if (id == PciVendorIntel) return GpuVendor::Intel;
  return GpuVendor::Amd;
}

// iVendorID as drivers write it: the PCI id, or its hex digits read as a decimal number.
GpuVendor vendor_of_record_id(int32_t id) {
  switch (id) {
    case 10:  // "10DE" read as a decimal number, by a 2009 driver: it stops at the D
      return GpuVendor::Nvidia;
    case 8086:
      return GpuVendor::Intel;
    default:
      return vendor_of_pci_id(id);
  }
}

}  // namespace

bool amd_is_duplicate(const AdapterInfo& adapter) {
  const size_t start = text_position();
  append_field(adapter.strUDID);
  const size_t marker = text_position() + sizeof(wchar_t);
  text_set_position(marker);
  text_space(DuplicateMarkerLength);
  text_set_position(start);
  return text_equal(text_at(marker), text_at(start)) == 1;
}

void amd_append_name(const AdapterInfo& adapter) { append_field(adapter.strAdapterName); }

void amd_hide_duplicates(AdapterInfo* adapters, int32_t count, int32_t& shown) {
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t j = 1; j < count; ++j) {
      if (adapters[i].iBusNumber == 0 && !amd_is_duplicate(adapters[i])) {
        hide_adapter(adapters[i], shown);
      } else if (i != j && same_adapter_location(adapters[i], adapters[j]) &&
                 !amd_is_duplicate(adapters[i])) {
        hide_adapter(adapters[j], shown);
      }
    }
  }
}

bool amd_same_gpu(const AdapterInfo& a, const AdapterInfo& b) {
  return a.iBusNumber != 0 && same_adapter_location(a, b);
}

GpuVendor adl_record_vendor(const AdapterInfo& adapter) {
  const int32_t named = udid_vendor(adapter.strUDID);
  return named >= 0 ? vendor_of_pci_id(named) : vendor_of_record_id(adapter.iVendorID);
}
