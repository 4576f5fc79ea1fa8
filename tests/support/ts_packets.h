// Hand-built transport-stream packets, PSI sections and PES packets for tests.
// CRC_32 fields are left zero: the demuxer does not check them.
#pragma once

#include <stdint.h>

#include <utility>
#include <vector>

typedef std::vector<uint8_t> TsBytes;

// One 188-byte packet. The payload ends the packet; when it is shorter than 184 bytes an
// adaptation field stuffed with 0xFF fills the gap, as muxers do. pcr >= 0 puts that PCR
// base (extension 0) in the adaptation field. An empty payload makes an adaptation-only
// packet (adaptation_field_control 2).
TsBytes ts_packet(int pid, int cc, bool unit_start, const TsBytes &payload, int64_t pcr = -1);

// A unit (a PES packet, or a section behind its pointer_field) cut into packets: the first
// starts the unit, counters run on from first_cc, the last packet is stuffed.
TsBytes ts_packetize(int pid, int first_cc, const TsBytes &unit);

// pointer_field 0 and a PAT section; each program is {program_number, PID}.
TsBytes psi_pat(int ts_id, const std::vector<std::pair<int, int>> &programs, int version = 0);

struct PmtStream {
    int stream_type;
    int pid;
    TsBytes es_info;
};

// pointer_field 0 and a PMT section of program 1.
TsBytes psi_pmt(int version, int pcr_pid, const std::vector<PmtStream> &streams,
                const TsBytes &program_info = {});

// An ISO_639_language_descriptor with one language and audio_type 0.
TsBytes iso639_descriptor(const char language[3]);

// A PES packet: start code, stream_id, PES_packet_length (0 when not bounded), a 3-byte
// optional header without fields, then payload_len bytes counting up from 0.
TsBytes pes_packet(int stream_id, int payload_len, bool bounded);

TsBytes ts_concat(const std::vector<TsBytes> &parts);
