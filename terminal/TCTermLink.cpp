#include "TCTermLink.h"

#include "Utf8.h"

#include <stdexcept>

TCTermLink::TCTermLink(std::unique_ptr<ITermLinkObject> object)
    : m_object(std::move(object))
{
    if (!m_object)
        throw std::runtime_error("No terminal control object");
}

TCTermLink::~TCTermLink() = default;

ITermLink& TCTermLink::link()
{
    if (!m_link) {
        ITermLink* bound = nullptr;
        const HResult hr = m_object->QueryTermLink(&bound);
        if (failed(hr))
            throw std::runtime_error(termLinkErrorText(hr, {}));
        if (!bound)
            throw std::runtime_error(termLinkErrorText(kENotImpl, {}));
        m_link = bound;
    }
    return *m_link;
}

bool TCTermLink::check(const CallResult& result)
{
    if (failed(result.status))
        throw std::runtime_error(termLinkErrorText(result.status, result.description));
    return result.value != 0;
}

bool TCTermLink::ReadSerialNumber(std::int32_t machineNumber, std::u16string& serialNumber)
{
    serialNumber.clear();
    return check(link().ReadSerialNumber(machineNumber, serialNumber));
}

bool TCTermLink::ReadProductName(std::int32_t machineNumber, std::u16string& productName)
{
    productName.clear();
    return check(link().ReadProductName(machineNumber, productName));
}

bool TCTermLink::ReadFirmwareVersion(std::int32_t machineNumber, std::u16string& version)
{
    version.clear();
    return check(link().ReadFirmwareVersion(machineNumber, version));
}

bool TCTermLink::ReadSdkVersion(std::u16string& version)
{
    version.clear();
    return check(link().ReadSdkVersion(version));
}

bool TCTermLink::ConnectNetwork(const std::u16string& ipAddress, std::int32_t port)
{
    m_lastConnectFailure = {};
    const CallResult result = link().ConnectNetwork(ipAddress, port);
    const bool connected = check(result);
    if (!connected)
        m_lastConnectFailure = { connectFailureFromStatus(result.status), toUtf8(result.description) };
    return connected;
}

void TCTermLink::DisconnectTerminal()
{
    check(link().DisconnectTerminal());
}

bool TCTermLink::SetCommKey(std::int32_t key)
{
    return check(link().SetCommKey(key));
}

bool TCTermLink::ReadTimeZone(std::int32_t machineNumber, std::int32_t index, std::u16string& text)
{
    text.clear();
    return check(link().ReadTimeZone(machineNumber, index, text));
}

bool TCTermLink::WriteTimeZone(std::int32_t machineNumber, std::int32_t index, const std::u16string& text)
{
    return check(link().WriteTimeZone(machineNumber, index, text));
}

bool TCTermLink::ReadGroupText(std::int32_t machineNumber, std::int32_t group, std::u16string& text)
{
    text.clear();
    return check(link().ReadGroupText(machineNumber, group, text));
}

bool TCTermLink::WriteGroupNumber(std::int32_t machineNumber, std::int32_t group, std::int32_t number)
{
    return check(link().WriteGroupNumber(machineNumber, group, number));
}

bool TCTermLink::RestartTerminal(std::int32_t machineNumber)
{
    return check(link().RestartTerminal(machineNumber));
}

bool TCTermLink::ReadVendorName(std::u16string& vendor)
{
    vendor.clear();
    return check(link().ReadVendorName(vendor));
}

bool TCTermLink::ReadOption(std::int32_t machineNumber, const std::u16string& name, std::u16string& value)
{
    value.clear();
    return check(link().ReadOption(machineNumber, name, value));
}

bool TCTermLink::WriteOption(std::int32_t machineNumber, const std::u16string& name, const std::u16string& value)
{
    return check(link().WriteOption(machineNumber, name, value));
}

bool TCTermLink::WriteUnlockCombination(std::int32_t machineNumber, std::int32_t c1, std::int32_t c2, std::int32_t c3,
    std::int32_t c4, std::int32_t c5, std::int32_t c6)
{
    return check(link().WriteUnlockCombination(machineNumber, c1, c2, c3, c4, c5, c6));
}

bool TCTermLink::IsColorTerminal(std::int32_t machineNumber)
{
    return check(link().IsColorTerminal(machineNumber));
}
