// Admittances: one USB device model (vendor, product, revision), optionally narrowed to one serial
// number, with a cache flag. The driver reads them from its admittance folder, one JSON file per
// model named "Vid_%04x_Pid_%04x_Rev_%04x.json" (lower-case hexadecimal).
//
// File content: {"ProductID":n,"RevBCD":n,"SerialNumbers":[{"CacheUse":b,"SerialNumber":"..."}],
// "VendorID":n}; an entry without "SerialNumber" is the model as a whole. Numbers are integers
// 0..65535; anything else (negative, fractional, larger, not a number) is refused with 592 before
// it is converted.
//
// Errors: 592 for a document of the wrong shape ("Bad data in admittance file; err=0x00000250");
// the file and folder operations pass on the Windows code of the failed call with its text.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "json/holder/json_holder.h"

namespace ZelmUsbVardoManager {

class Admittance {
public:
    Admittance() = default;
    Admittance(uint16_t vendor, uint16_t product, uint16_t rev);
    Admittance(uint16_t vendor, uint16_t product, uint16_t rev, const std::u16string& serial,
               bool cacheUse = true);
    Admittance(const Admittance&) = default;
    Admittance& operator=(const Admittance&) = default;
    virtual ~Admittance() = default;

    // -1, 0 or 1: VID, PID, Rev ascending; then the model without serial number first; then the
    // serial numbers code unit by code unit as signed 16-bit values, the terminator taking part as
    // 0 (so units from 0x8000 up sort before the end of a text). CacheUse takes no part.
    int _cmp(const Admittance& a) const;
    bool operator<(const Admittance& a) const { return _cmp(a) < 0; }

    static std::u16string GetCanonName(uint16_t VendorID, uint16_t ProductID, uint16_t RevBCD);
    std::u16string GetCanonName() const;

    // 0, or 592 with "Bad data in admittance file; err=0x00000250" (a JSON error: its text and code).
    static uint32_t ValidateAdmittancesJson(const JsonHolder& jh, std::u16string& status_text);
    // The document of a file holding this record alone.
    JsonHolder& ToJsonHolder(JsonHolder& jh) const;
    // Merges this record into the document of its file: the entry of the same serial number (or
    // the serial-less entry) gets this CacheUse, otherwise a new entry is appended.
    uint32_t AddToJsonHolder(JsonHolder& jh, std::u16string& status_text) const;

    uint16_t VendorID = 0;
    uint16_t ProductID = 0;
    uint16_t RevBCD = 0;
    std::u16string SerialNumber;
    bool hasSerialNumber = false;
    bool CacheUse = true;
};

// An ordered set of admittances; of two equal records the first inserted stays.
class AdmittanceList {
public:
    using Map = std::map<Admittance, int>;

    AdmittanceList() = default;
    AdmittanceList(const AdmittanceList&) = default;
    // Empties this list first, then takes every element of `other`.
    AdmittanceList& operator=(const AdmittanceList& other);
    virtual ~AdmittanceList() = default;

    // False when an equal record is already there (that one is kept).
    bool Add(const Admittance& a);
    void Clear() { items.clear(); }
    bool Empty() const { return items.empty(); }
    size_t Size() const { return items.size(); }
    const Map& Items() const { return items; }

    // Writes the records as one file per model into the folder, merging into files already there
    // (a malformed one stops with 592 before it is written). An empty list touches nothing.
    uint32_t SaveToDirectory(const std::u16string& DirPathName, std::u16string& status_text) const;
    // Deletes the admittance files of the folder, keeping read-only ones and folders. 0 when
    // nothing matches; the listing's error otherwise (3 for a missing folder); the first failed
    // delete stops it with its code and "Nie można skasować pliku <path>; err=0x...".
    static uint32_t ClearDirectory(const std::u16string& DirPathName, std::u16string& status_text);

private:
    Map items;
};

} // namespace ZelmUsbVardoManager
