-- SPDX-License-Identifier: Apache-2.0
-- Wireshark dissector for the Torvane device protocol on UDP port 36.
--
-- Load it with `tshark -X lua_script:tools/wireshark/torvane.lua -r capture.pcap`, or copy it
-- into Wireshark's personal Lua plugin folder (Help > About Wireshark > Folders).
--
-- One port carries two dialogues, told apart by length, magic and direction:
--   management  requests of 20 bytes (104 for the setting record) that start 0x43 0x21, sent to
--               port 36; the device's replies of 20 bytes from port 36;
--   transfer    one-byte commands "S", "E", "R"; 513-byte probes ('T' and 512 zero bytes);
--               326-byte block records ('P' program, 'V' verify); one-byte replies from port 36.
-- Block records are shown with their pad taken off: the offset, and the data both as the device
-- stores it (pad and image key removed) and as the image file holds it (pad removed).

local DEVICE_PORT = 36

-- The 32-byte image key the utility is built with. It must equal `ImageKey` in
-- image/image_buffer.h; the dissector test fails when the two differ. A device built with another
-- key can be decoded by setting the preference torvane.image_key.
local DEFAULT_IMAGE_KEY = "6BD219A73CF0854E912DC8570EB37AE4" ..
                          "259F68C1500BDE36AF7413E98A42FD97"

local bxor = (bit32 and bit32.bxor) or (bit and bit.bxor)

local torvane = Proto("torvane", "Torvane device protocol")

local management_commands = {
    [0x3039] = "Discover",
    [0x303E] = "Identify",
    [0x303F] = "Write setting",
    [0x3074] = "Start update",
}

local item_types = {
    [3] = "Device id",
    [5] = "Setting text",
}

local transfer_commands = {
    [0x53] = "Start (S)",
    [0x45] = "Erase (E)",
    [0x52] = "Finish (R)",
    [0x54] = "Probe (T)",
    [0x50] = "Program (P)",
    [0x56] = "Verify (V)",
}

local replies = {
    [0x53] = "Echo of S",
    [0x54] = "Echo of T",
    [0x45] = "Echo of E",
    [0x50] = "Echo of P",
    [0x56] = "Echo of V",
    [0x52] = "Echo of R",
    [0x31] = "Done (1)",
    [0x30] = "Refused (0)",
}

local f = {
    kind = ProtoField.string("torvane.kind", "Datagram"),
    magic = ProtoField.uint16("torvane.magic", "Magic", base.HEX),
    command = ProtoField.uint16("torvane.command", "Command", base.HEX, management_commands),
    zero_fill = ProtoField.bytes("torvane.zero_fill", "Zero fill"),
    device_address = ProtoField.ipv4("torvane.device_address", "Device address"),
    unused = ProtoField.bytes("torvane.unused", "Not examined"),
    device_id = ProtoField.bytes("torvane.device_id", "Device id", base.COLON),
    device_type = ProtoField.uint16("torvane.device_type", "Device type", base.DEC),
    ignored = ProtoField.bytes("torvane.ignored", "Beyond 20 bytes (ignored by the utility)"),
    item = ProtoField.bytes("torvane.item", "Item"),
    item_type = ProtoField.uint8("torvane.item.type", "Type", base.DEC, item_types),
    item_length = ProtoField.uint8("torvane.item.length", "Length", base.DEC),
    item_value = ProtoField.bytes("torvane.item.value", "Value"),
    setting_text = ProtoField.string("torvane.item.setting_text", "Setting text"),
    transfer_command = ProtoField.uint8("torvane.transfer.command", "Transfer command", base.HEX,
                                        transfer_commands),
    reply = ProtoField.uint8("torvane.reply", "Reply", base.HEX, replies),
    probe_fill = ProtoField.bytes("torvane.probe.fill", "Probe fill"),
    block_command = ProtoField.uint8("torvane.block.command", "Command", base.HEX,
                                     transfer_commands),
    block_reserved = ProtoField.uint8("torvane.block.reserved", "Reserved", base.HEX),
    offset_masked = ProtoField.uint32("torvane.block.offset_masked", "Offset as sent (masked)",
                                      base.HEX),
    offset = ProtoField.uint32("torvane.block.offset", "Offset", base.HEX),
    data_masked = ProtoField.bytes("torvane.block.data_masked", "Data as sent (masked)"),
    pad = ProtoField.bytes("torvane.block.pad", "Pad"),
    data = ProtoField.bytes("torvane.block.data", "Data (pad and image key removed)"),
    file_data = ProtoField.bytes("torvane.block.file_data", "Image file bytes (pad removed)"),
}
torvane.fields = f

local e = {
    unknown = ProtoExpert.new("torvane.unknown", "Datagram of no known kind",
                              expert.group.MALFORMED, expert.severity.WARN),
    not_zero = ProtoExpert.new("torvane.not_zero", "Bytes that should be zero are not",
                               expert.group.PROTOCOL, expert.severity.WARN),
    device_type = ProtoExpert.new("torvane.bad_device_type",
                                  "Device type is not 1: the utility refuses this device",
                                  expert.group.RESPONSE_CODE, expert.severity.WARN),
    bad_item = ProtoExpert.new("torvane.bad_item", "Item runs past the end of the record",
                               expert.group.MALFORMED, expert.severity.ERROR),
    bad_key = ProtoExpert.new("torvane.bad_key",
                              "Preference image_key is not 64 hex digits: the built-in key is used",
                              expert.group.PROTOCOL, expert.severity.NOTE),
}
torvane.experts = { e.unknown, e.not_zero, e.device_type, e.bad_item, e.bad_key }

torvane.prefs.image_key = Pref.string("Image key (64 hex digits)", DEFAULT_IMAGE_KEY,
                                      "The 32-byte key the device and the utility share")

-- Returns the key as a table of 32 numbers, and whether the preference had to be ignored.
local function image_key()
    local text = torvane.prefs.image_key or DEFAULT_IMAGE_KEY
    local fallback = false
    if not text:match("^%x+$") or #text ~= 64 then
        text, fallback = DEFAULT_IMAGE_KEY, true
    end
    local key = {}
    for i = 0, 31 do
        key[i] = tonumber(text:sub(2 * i + 1, 2 * i + 2), 16)
    end
    return key, fallback
end

local function all_zero(range)
    local bytes = range:bytes()
    for i = 0, bytes:len() - 1 do
        if bytes:get_index(i) ~= 0 then
            return false
        end
    end
    return true
end

local function add_zero_fill(tree, range, field)
    local item = tree:add(field, range)
    if not all_zero(range) then
        item:add_proto_expert_info(e.not_zero)
    end
end

local function char_name(value)
    if value >= 0x20 and value < 0x7F then
        return "'" .. string.char(value) .. "'"
    end
    return string.format("0x%02X", value)
end

local function dissect_request(tvb, pinfo, tree)
    local code = tvb(2, 2):uint()
    local name = management_commands[code] or string.format("Unknown command 0x%04X", code)
    tree:add(f.kind, "Management request")
    tree:add(f.magic, tvb(0, 2))
    tree:add(f.command, tvb(2, 2))
    if tvb:len() > 4 then
        add_zero_fill(tree, tvb(4), f.zero_fill)
    end
    pinfo.cols.info = name .. " request"
end

local function dissect_setting_record(tvb, pinfo, tree)
    tree:add(f.kind, "Setting record")
    tree:add(f.magic, tvb(0, 2))
    tree:add(f.command, tvb(2, 2))
    local position = 4
    local text = nil
    -- The record holds type-length-value items up to the first type 0; zero fill follows.
    while position + 2 <= tvb:len() and tvb(position, 1):uint() ~= 0 do
        local item_type = tvb(position, 1):uint()
        local length = tvb(position + 1, 1):uint()
        local available = math.min(length, tvb:len() - position - 2)
        local item = tree:add(f.item, tvb(position, 2 + available))
        item:set_text(string.format("Item: %s, %d bytes",
                                    item_types[item_type] or ("type " .. item_type), length))
        item:add(f.item_type, tvb(position, 1))
        item:add(f.item_length, tvb(position + 1, 1))
        if available < length then
            item:add_proto_expert_info(e.bad_item)
        end
        if available > 0 then
            local value = tvb(position + 2, available)
            if item_type == 3 then
                item:add(f.device_id, value)
            elseif item_type == 5 then
                item:add(f.setting_text, value)
                text = value:string()
            else
                item:add(f.item_value, value)
            end
        end
        position = position + 2 + available
    end
    if position < tvb:len() then
        -- The setting text's terminating zero and the zero fill up to 104 bytes.
        add_zero_fill(tree, tvb(position), f.zero_fill)
    end
    pinfo.cols.info = "Write setting" .. (text and (" \"" .. text .. "\"") or "")
end

local function dissect_reply(tvb, pinfo, tree)
    local code = tvb(2, 2):uint()
    local name = management_commands[code]
    tree:add(f.kind, "Management reply")
    tree:add(f.magic, tvb(0, 2)):append_text(" (not examined by the utility)")
    tree:add(f.command, tvb(2, 2))
    tree:add(f.device_address, tvb(4, 4))
    tree:add(f.unused, tvb(8, 4))
    tree:add(f.device_id, tvb(12, 6))
    local device_type = tree:add(f.device_type, tvb(18, 2))
    if tvb(18, 2):uint() ~= 1 then
        device_type:add_proto_expert_info(e.device_type)
    end
    if tvb:len() > 20 then
        tree:add(f.ignored, tvb(20))
    end
    pinfo.cols.info = string.format("%s reply: device %s, type %d",
                                    name or string.format("0x%04X", code),
                                    tostring(tvb(4, 4):ipv4()), tvb(18, 2):uint())
end

local function dissect_block_record(tvb, pinfo, tree)
    local key, fallback = image_key()
    local command = tvb(0, 1):uint()
    local pad = tvb(262, 64):bytes()
    local offset = 0
    for i = 0, 3 do
        offset = offset * 256 + bxor(tvb(2 + i, 1):uint(), pad:get_index(17 + i))
    end
    local data = ByteArray.new()
    local file_data = ByteArray.new()
    data:set_size(256)
    file_data:set_size(256)
    local masked = tvb(6, 256):bytes()
    for i = 0, 255 do
        local without_pad = bxor(masked:get_index(i), pad:get_index(i % 64))
        file_data:set_index(i, without_pad)
        data:set_index(i, bxor(without_pad, key[i % 32]))
    end

    tree:add(f.kind, "Block record")
    tree:add(f.block_command, tvb(0, 1))
    add_zero_fill(tree, tvb(1, 1), f.block_reserved)
    tree:add(f.offset_masked, tvb(2, 4))
    tree:add(f.offset, tvb(2, 4), offset):set_generated()
    tree:add(f.data_masked, tvb(6, 256))
    tree:add(f.pad, tvb(262, 64))
    local data_item = tree:add(f.data, data:tvb("Block data (pad and image key removed)"):range())
    data_item:set_generated()
    if fallback then
        data_item:add_proto_expert_info(e.bad_key)
    end
    tree:add(f.file_data, file_data:tvb("Image file bytes (pad removed)"):range()):set_generated()
    pinfo.cols.info = string.format("%s record, offset 0x%05X",
                                    command == 0x50 and "Program" or "Verify", offset)
end

function torvane.dissector(tvb, pinfo, tree)
    local length = tvb:len()
    if length == 0 then
        return 0
    end
    pinfo.cols.protocol = "Torvane"
    local subtree = tree:add(torvane, tvb())
    local from_device = pinfo.src_port == DEVICE_PORT and pinfo.dst_port ~= DEVICE_PORT
    local first = tvb(0, 1):uint()
    local magic = length >= 4 and tvb(0, 2):uint() == 0x4321

    if length == 1 and from_device then
        subtree:add(f.kind, "Transfer reply")
        subtree:add(f.reply, tvb(0, 1))
        pinfo.cols.info = "Reply " .. char_name(first) ..
                          (replies[first] and (": " .. replies[first]) or "")
    elseif length == 1 then
        subtree:add(f.kind, "Transfer command")
        subtree:add(f.transfer_command, tvb(0, 1))
        pinfo.cols.info = "Command " .. char_name(first) ..
                          (transfer_commands[first] and (": " .. transfer_commands[first]) or "")
    elseif length == 513 and first == 0x54 and not from_device then
        subtree:add(f.kind, "Probe")
        subtree:add(f.transfer_command, tvb(0, 1))
        add_zero_fill(subtree, tvb(1), f.probe_fill)
        pinfo.cols.info = "Probe"
    elseif length == 326 and (first == 0x50 or first == 0x56) and not from_device then
        dissect_block_record(tvb, pinfo, subtree)
    elseif magic and not from_device and length == 104 and tvb(2, 2):uint() == 0x303F then
        dissect_setting_record(tvb, pinfo, subtree)
    elseif magic and not from_device then
        dissect_request(tvb, pinfo, subtree)
    elseif from_device and length >= 20 then
        dissect_reply(tvb, pinfo, subtree)
    else
        subtree:add(f.kind, "Unknown")
        subtree:add_proto_expert_info(e.unknown)
        pinfo.cols.info = string.format("Unknown datagram of %d bytes", length)
    end
    return length
end

DissectorTable.get("udp.port"):add(DEVICE_PORT, torvane)
