// Feeds arbitrary datagrams to the control message decoder with the device message factory. Every
// datagram must decode to nothing or to a message; every message must print to a datagram that decodes
// to the same message, and from there printing and decoding must reach a fixed point.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <typeinfo>
#include <vector>

#include "json/value.h"
#include "platform/utf8.h"
#include "protocol/device_msgs.h"
#include "protocol/json_msg.h"
#include "protocol/packet.h"

namespace {

const Network::AsioDriverJsonMsgFactory kFactory;

[[noreturn]] void Fail(const char* what, const std::vector<std::uint8_t>& datagram) {
    std::string text;
    for (std::uint8_t b : datagram) {
        if (b == 0) {
            break;
        }
        text.push_back(static_cast<char>(b));
    }
    std::fprintf(stderr, "protocol_fuzz: %s\n  datagram text: %s\n", what, text.c_str());
    std::abort();
}

// The datagram of `msg`; false when the message refuses to print.
bool Print(const Network::JsonMsg& msg, std::vector<std::uint8_t>& out,
           const std::vector<std::uint8_t>& source) {
    Network::Packet packet;
    ErrInfo err(ERR_PLACE("protocol_fuzz"));
    msg.ToPacket(err, packet, false, 0);
    if (!err.IsOk()) {
        // The one accepted refusal: text with no UTF-8 form (a lone surrogate written as a \u escape).
        const bool textHasNoUtf8 = err.GetText() == L"Can not deserialize msg";
        err.MarkHandled();
        if (!textHasNoUtf8) {
            Fail(("decoded message does not print: " + WideToUtf8(err.GetText())).c_str(), source);
        }
        return false;
    }
    out = packet.Bytes();
    return true;
}

std::unique_ptr<Network::JsonMsg> Decode(const std::vector<std::uint8_t>& datagram) {
    return Network::JsonMsg::FromDatagram(datagram.data(), datagram.size(), &kFactory, nullptr);
}

JSON::Value Keys(const Network::JsonMsg& msg) {
    JSON::Value v;
    ErrInfo err = msg.Serialize(v);
    err.MarkHandled();
    return v;
}

// Same class, same keys, same real attachment bytes.
bool Same(const Network::JsonMsg& a, const Network::JsonMsg& b) {
    if (typeid(a) != typeid(b) || a.att_size != b.att_size || a.att_size > a.att.size() ||
        b.att_size > b.att.size()) {
        return false;
    }
    for (std::uint64_t i = 0; i < a.att_size; ++i) {
        if (a.att[i] != b.att[i]) {
            return false;
        }
    }
    return JSON::Equal(Keys(a), Keys(b));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> input(data, data + size);
    const std::unique_ptr<Network::JsonMsg> first = Decode(input);
    if (!first) {
        return 0;
    }
    if (first->att_size > first->att.size() || first->att.size() > Network::kMaxAttachmentSize) {
        Fail("attachment bookkeeping broken", input);
    }

    std::vector<std::uint8_t> printed;
    if (!Print(*first, printed, input)) {
        return 0;
    }
    const std::unique_ptr<Network::JsonMsg> second = Decode(printed);
    if (!second) {
        Fail("printed message does not decode", printed);
    }
    if (!Same(*first, *second)) {
        Fail("printed message decodes to another message", printed);
    }

    // A message whose attachment came short prints its whole buffer once; after that the datagram is stable.
    std::vector<std::uint8_t> reprinted;
    if (!Print(*second, reprinted, printed)) {
        Fail("decoded message printed once but not twice", printed);
    }
    if (first->att.size() == first->att_size && reprinted != printed) {
        Fail("printing is not stable", printed);
    }
    const std::unique_ptr<Network::JsonMsg> third = Decode(reprinted);
    std::vector<std::uint8_t> fixed;
    if (!third || !Same(*second, *third) || !Print(*third, fixed, reprinted) || fixed != reprinted) {
        Fail("printing and decoding reach no fixed point", reprinted);
    }
    return 0;
}
