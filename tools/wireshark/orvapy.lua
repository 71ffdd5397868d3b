-- Wireshark dissector for orvapy link captures (pcapng, link type DLT_USER0).
-- The record format is described in docs/capture.md.
--
--   tshark -X lua_script:tools/wireshark/orvapy.lua -r capture.pcapng
--
-- or copy this file into Wireshark's personal plugins folder.

local proto = Proto("orvapy", "orvapy link capture")

local record_types = {
    [1] = "Radio exchange", [2] = "Cable write", [3] = "Cable read", [4] = "Control request",
    [5] = "Worker started", [6] = "Worker stopped", [7] = "Worker failed", [8] = "Records dropped",
    -- Recorded by an emulated device, from its side.
    [9] = "Device radio exchange", [10] = "Device cable write", [11] = "Device cable read",
    [12] = "Device plug", [13] = "Too long, dropped",
}
local devices = { [0] = "Library", [1] = "Dongle", [2] = "Cable robot" }
local exchange_kinds = { [0] = "Packet", [1] = "Ping", [2] = "Safelink handshake", [3] = "Safelink resend" }
local datarates = { [0] = "250K", [1] = "1M", [2] = "2M" }
local dongle_requests = {
    [0x01] = "Set channel", [0x02] = "Set address", [0x03] = "Set data rate",
    [0x04] = "Start-up 0x04", [0x05] = "Start-up 0x05", [0x06] = "Start-up 0x06",
    [0x10] = "Radio enable", [0x20] = "Start-up 0x20",
}

local f = {
    version = ProtoField.uint8("orvapy.version", "Format version"),
    type = ProtoField.uint8("orvapy.type", "Record type", base.DEC, record_types),
    device = ProtoField.uint8("orvapy.device", "Device", base.DEC, devices),
    flags = ProtoField.uint8("orvapy.flags", "Flags", base.HEX),
    error = ProtoField.bool("orvapy.error", "Error", 8, nil, 0x01),
    uri = ProtoField.string("orvapy.uri", "Connection"),
    kind = ProtoField.uint8("orvapy.kind", "Sent", base.DEC, exchange_kinds),
    seq = ProtoField.uint64("orvapy.seq", "Sequence number"),
    sent = ProtoField.bytes("orvapy.sent", "Packet sent"),
    received = ProtoField.bytes("orvapy.received", "Packet received"),
    header = ProtoField.uint8("orvapy.header", "Header", base.HEX),
    port = ProtoField.uint8("orvapy.port", "Port", base.DEC, nil, 0xF0),
    up = ProtoField.bool("orvapy.safelink_up", "Safelink up bit", 8, nil, 0x08),
    down = ProtoField.bool("orvapy.safelink_down", "Safelink down bit", 8, nil, 0x04),
    channel = ProtoField.uint8("orvapy.channel", "Channel", base.DEC, nil, 0x03),
    payload = ProtoField.bytes("orvapy.payload", "Payload"),
    status = ProtoField.uint8("orvapy.status", "Dongle status", base.HEX),
    ack = ProtoField.bool("orvapy.ack", "Acknowledged", 8, nil, 0x01),
    reply = ProtoField.bytes("orvapy.reply", "Reply"),
    resend = ProtoField.bool("orvapy.resend", "Resend"),
    taken = ProtoField.bool("orvapy.taken", "Taken by the robot"),
    answered = ProtoField.bool("orvapy.answered", "Answered by the dongle"),
    plugged = ProtoField.bool("orvapy.plugged", "Plugged in"),
    request = ProtoField.uint8("orvapy.request", "bRequest", base.HEX),
    request_name = ProtoField.string("orvapy.request_name", "Request"),
    wvalue = ProtoField.uint16("orvapy.wvalue", "wValue"),
    windex = ProtoField.uint16("orvapy.windex", "wIndex"),
    result = ProtoField.int32("orvapy.result", "Result"),
    data = ProtoField.bytes("orvapy.data", "Data stage"),
    radio_channel = ProtoField.uint16("orvapy.radio_channel", "Radio channel"),
    radio_address = ProtoField.uint64("orvapy.radio_address", "Radio address", base.HEX),
    radio_datarate = ProtoField.uint16("orvapy.radio_datarate", "Data rate", base.DEC, datarates),
    radio_enable = ProtoField.bool("orvapy.radio_enable", "Radio enabled"),
    link_on = ProtoField.bool("orvapy.link_on", "Packet link on"),
    text = ProtoField.string("orvapy.text", "Error text"),
    dropped = ProtoField.uint64("orvapy.dropped", "Records dropped"),
    too_long = ProtoField.uint16("orvapy.too_long", "Length that came"),
    too_long_start = ProtoField.bytes("orvapy.too_long_start", "Its first bytes"),
    decoded = ProtoField.bool("orvapy.decoded", "Record decoded"),
}
proto.fields = f

local expert = {
    resend = ProtoExpert.new("orvapy.resend.expert", "Resend of an unacknowledged packet",
                             expert.group.SEQUENCE, expert.severity.NOTE),
    error = ProtoExpert.new("orvapy.error.expert", "Error", expert.group.RESPONSE_CODE,
                            expert.severity.ERROR),
    dropped = ProtoExpert.new("orvapy.dropped.expert", "The capture dropped records",
                              expert.group.SEQUENCE, expert.severity.WARN),
    unknown = ProtoExpert.new("orvapy.unknown.expert", "Unknown record version or type",
                              expert.group.MALFORMED, expert.severity.ERROR),
}
proto.experts = { expert.resend, expert.error, expert.dropped, expert.unknown }

local function hex(range)
    if range:len() == 0 then return "" end
    return tostring(range:bytes()):lower()
end

-- A link packet: the header byte, then its payload.
local function add_packet(tree, field, tvb, offset, size)
    local range = tvb(offset, size)
    local item = tree:add(field, range)
    if size > 0 then
        local header = tvb(offset, 1)
        local h = item:add(f.header, header)
        h:add(f.port, header)
        h:add(f.up, header)
        h:add(f.down, header)
        h:add(f.channel, header)
        if size > 1 then item:add(f.payload, tvb(offset + 1, size - 1)) end
        local byte = header:uint()
        return string.format("port %d ch %d [%s]", bit.rshift(byte, 4), bit.band(byte, 3),
                             hex(tvb(offset, size)))
    end
    return "[]"
end

-- The dongle's answer: the status byte, then the length and bytes of the reply.
local function dissect_answer(tvb, tree, offset)
    local status = tvb(offset, 1)
    local s = tree:add(f.status, status)
    s:add(f.ack, status)
    local acked = bit.band(status:uint(), 1) == 1
    local reply_size = tvb(offset + 1, 1):uint()
    local reply = ""
    if reply_size > 0 then reply = " reply " .. add_packet(tree, f.reply, tvb, offset + 2, reply_size) end
    return offset + 2 + reply_size, acked, reply
end

-- What a dongle of the bench got on its bulk OUT and what it answered.
local function dissect_device_radio(tvb, pinfo, tree, offset)
    local sent_size = tvb(offset, 1):uint()
    local sent = add_packet(tree, f.sent, tvb, offset + 1, sent_size)
    offset = offset + 1 + sent_size
    local answered = tvb(offset, 1):uint() == 1
    tree:add(f.answered, tvb(offset, 1), answered)
    local acked, reply
    offset, acked, reply = dissect_answer(tvb, tree, offset + 1)
    pinfo.cols.info:set(string.format("dongle got %s -> %s%s", sent,
        answered and (acked and "ack" or "no ack") or "silent", reply))
    return offset
end

-- Per connection, the last radio exchange of a queued packet: a packet that
-- goes out again with the same sequence number after it was not acknowledged
-- is a resend. Filled on the first pass, in file order.
local interface_field = Field.new("frame.interface_id")
local last_exchange = {}
local resends = {}

local function dissect_radio(tvb, pinfo, tree, offset, uri, interface)
    local kind = tvb(offset, 1):uint()
    tree:add(f.kind, tvb(offset, 1))
    local seq = tvb(offset + 1, 8):le_uint64()
    tree:add_le(f.seq, tvb(offset + 1, 8))
    local sent_size = tvb(offset + 9, 1):uint()
    local sent = add_packet(tree, f.sent, tvb, offset + 10, sent_size)
    local acked, reply
    offset, acked, reply = dissect_answer(tvb, tree, offset + 10 + sent_size)

    if not pinfo.visited then
        local key = tostring(interface) .. " " .. uri
        local last = last_exchange[key]
        if kind == 3 or (kind == 0 and last and last.kind == 0 and not last.acked
                         and last.seq == seq) then
            resends[pinfo.number] = true
        end
        last_exchange[key] = { kind = kind, seq = seq, acked = acked }
    end
    local resend = resends[pinfo.number] == true
    local r = tree:add(f.resend, resend):set_generated()
    if resend then r:add_proto_expert_info(expert.resend) end

    pinfo.cols.info:set(string.format("%s %s%s %s -> %s%s", uri,
        exchange_kinds[kind] or "?", (resend and kind ~= 3) and " (resend)" or "", sent,
        acked and "ack" or "no ack", reply))
    return offset
end

local function dissect_control(tvb, pinfo, tree, offset, device, uri)
    local request = tvb(offset, 1):uint()
    local value = tvb(offset + 1, 2):le_uint()
    local index = tvb(offset + 3, 2):le_uint()
    tree:add(f.request, tvb(offset, 1))
    tree:add_le(f.wvalue, tvb(offset + 1, 2))
    tree:add_le(f.windex, tvb(offset + 3, 2))
    tree:add_le(f.result, tvb(offset + 5, 4))
    local size = tvb(offset + 9, 1):uint()
    local data = tvb(offset + 10, size)
    if size > 0 then tree:add(f.data, data) end
    local name
    if device == 1 then
        name = dongle_requests[request] or string.format("Request 0x%02x", request)
        if request == 0x01 then
            tree:add(f.radio_channel, tvb(offset + 1, 2), value)
            name = name .. " " .. value
        elseif request == 0x02 and size == 5 then
            tree:add(f.radio_address, data, data:uint64())
            name = name .. " " .. hex(data):upper()
        elseif request == 0x03 then
            tree:add(f.radio_datarate, tvb(offset + 1, 2), value)
            name = name .. " " .. (datarates[value] or tostring(value))
        elseif request == 0x10 then
            tree:add(f.radio_enable, tvb(offset + 1, 2), value ~= 0)
            name = name .. (value ~= 0 and " on" or " off")
        end
    elseif device == 2 and request == 0x01 then
        tree:add(f.link_on, tvb(offset + 3, 2), index ~= 0)
        name = index ~= 0 and "Link on" or "Link off"
    else
        name = string.format("Request 0x%02x", request)
    end
    tree:add(f.request_name, tvb(offset, 1), name)
    pinfo.cols.info:set(name .. (uri ~= "" and (" for " .. uri) or ""))
    return offset + 10 + size
end

function proto.dissector(tvb, pinfo, root)
    pinfo.cols.protocol:set("orvapy")
    local tree = root:add(proto, tvb())
    local version = tvb(0, 1):uint()
    tree:add(f.version, tvb(0, 1))
    local rtype = tvb(1, 1):uint()
    tree:add(f.type, tvb(1, 1))
    if version ~= 1 or record_types[rtype] == nil then
        tree:add_proto_expert_info(expert.unknown)
        return
    end
    local device = tvb(2, 1):uint()
    tree:add(f.device, tvb(2, 1))
    local fl = tree:add(f.flags, tvb(3, 1))
    fl:add(f.error, tvb(3, 1))
    local flagged = bit.band(tvb(3, 1):uint(), 1) == 1
    local uri_size = tvb(4, 1):uint()
    local uri = ""
    if uri_size > 0 then
        uri = tvb(5, uri_size):string()
        tree:add(f.uri, tvb(5, uri_size))
    end
    local offset = 5 + uri_size
    local name = record_types[rtype]
    local where = uri ~= "" and (" " .. uri) or ""

    if rtype == 1 then
        offset = dissect_radio(tvb, pinfo, tree, offset, uri, (interface_field() and interface_field().value) or 0)
    elseif rtype == 2 then
        local taken = tvb(offset, 1):uint() == 1
        tree:add(f.taken, tvb(offset, 1), taken)
        tree:add_le(f.seq, tvb(offset + 1, 8))
        local size = tvb(offset + 9, 1):uint()
        local sent = add_packet(tree, f.sent, tvb, offset + 10, size)
        offset = offset + 10 + size
        pinfo.cols.info:set(string.format("%s write %s%s", uri, sent, taken and "" or " not taken"))
    elseif rtype == 3 then
        local size = tvb(offset, 1):uint()
        local received = add_packet(tree, f.received, tvb, offset + 1, size)
        offset = offset + 1 + size
        pinfo.cols.info:set(string.format("%s read %s", uri, received))
    elseif rtype == 4 then
        offset = dissect_control(tvb, pinfo, tree, offset, device, uri)
    elseif rtype == 9 then
        offset = dissect_device_radio(tvb, pinfo, tree, offset)
    elseif rtype == 10 then
        local taken = tvb(offset, 1):uint() == 1
        tree:add(f.taken, tvb(offset, 1), taken)
        local size = tvb(offset + 1, 1):uint()
        local sent = add_packet(tree, f.sent, tvb, offset + 2, size)
        offset = offset + 2 + size
        pinfo.cols.info:set(string.format("robot %s %s", taken and "took" or "refused", sent))
    elseif rtype == 11 then
        local size = tvb(offset, 1):uint()
        local received = add_packet(tree, f.received, tvb, offset + 1, size)
        offset = offset + 1 + size
        pinfo.cols.info:set(string.format("robot gave %s", received))
    elseif rtype == 12 then
        local plugged = tvb(offset, 1):uint() == 1
        tree:add(f.plugged, tvb(offset, 1), plugged)
        offset = offset + 1
        pinfo.cols.info:set(plugged and "Plugged in" or "Unplugged")
    elseif rtype == 7 then
        local size = tvb(offset, 1):uint()
        local text = tvb(offset + 1, size):string()
        tree:add(f.text, tvb(offset + 1, size))
        offset = offset + 1 + size
        pinfo.cols.info:set(name .. where .. ": " .. text)
    elseif rtype == 13 then
        local length = tvb(offset, 2):le_uint()
        tree:add_le(f.too_long, tvb(offset, 2))
        local size = tvb(offset + 2, 1):uint()
        tree:add(f.too_long_start, tvb(offset + 3, size))
        offset = offset + 3 + size
        pinfo.cols.info:set(string.format("%s%s: %d bytes from the device, dropped", name, where, length))
    elseif rtype == 8 then
        local count = tvb(offset, 8):le_uint64()
        tree:add_le(f.dropped, tvb(offset, 8)):add_proto_expert_info(expert.dropped)
        offset = offset + 8
        pinfo.cols.info:set(tostring(count) .. " records dropped: the writer fell behind")
    else
        pinfo.cols.info:set(name .. where)
    end
    if flagged then tree:add_proto_expert_info(expert.error) end
    if offset == tvb:len() then
        tree:add(f.decoded, true):set_generated()
    end
end

local encap = (wtap_encaps and wtap_encaps.USER0) or wtap.USER0
DissectorTable.get("wtap_encap"):add(encap, proto)
