#include "tests/support/ts_packets.h"

#include <assert.h>
#include <string.h>

TsBytes ts_packet(int pid, int cc, bool unit_start, const TsBytes &payload, int64_t pcr)
{
    TsBytes p(188, 0xFF);
    p[0] = 0x47;
    p[1] = (uint8_t)((unit_start ? 0x40 : 0) | ((pid >> 8) & 0x1F));
    p[2] = (uint8_t)pid;
    size_t room = 184;
    if (payload.size() < 184 || pcr >= 0) {
        room = payload.empty() ? 0 : payload.size();
        int af_length = 183 - (int)room;
        assert(af_length >= 0 && (pcr < 0 || af_length >= 7));
        p[3] = (uint8_t)((payload.empty() ? 0x20 : 0x30) | (cc & 0x0F));
        p[4] = (uint8_t)af_length;
        if (af_length > 0)
            p[5] = pcr >= 0 ? 0x10 : 0x00;
        if (pcr >= 0) {
            p[6] = (uint8_t)(pcr >> 25);
            p[7] = (uint8_t)(pcr >> 17);
            p[8] = (uint8_t)(pcr >> 9);
            p[9] = (uint8_t)(pcr >> 1);
            p[10] = (uint8_t)((pcr & 1) << 7 | 0x7E);
            p[11] = 0;
        }
    } else {
        assert(payload.size() == 184);
        p[3] = (uint8_t)(0x10 | (cc & 0x0F));
    }
    if (room)
        memcpy(&p[188 - room], payload.data(), room);
    return p;
}

TsBytes ts_packetize(int pid, int first_cc, const TsBytes &unit)
{
    TsBytes out;
    size_t pos = 0;
    int cc = first_cc;
    do {
        size_t n = unit.size() - pos < 184 ? unit.size() - pos : 184;
        TsBytes part(unit.begin() + (long)pos, unit.begin() + (long)(pos + n));
        TsBytes p = ts_packet(pid, cc, pos == 0, part);
        out.insert(out.end(), p.begin(), p.end());
        pos += n;
        cc = (cc + 1) & 0x0F;
    } while (pos < unit.size());
    return out;
}

// Fills in section_length from the bytes so far plus the CRC_32, then appends the CRC.
static TsBytes psi_finish(TsBytes s)
{
    int section_length = (int)s.size() - 3 + 4;
    s[1] = (uint8_t)(0xB0 | (section_length >> 8));
    s[2] = (uint8_t)section_length;
    s.insert(s.end(), 4, 0);
    s.insert(s.begin(), 0);  // pointer_field
    return s;
}

TsBytes psi_pat(int ts_id, const std::vector<std::pair<int, int>> &programs, int version)
{
    TsBytes s = {0x00, 0, 0, (uint8_t)(ts_id >> 8), (uint8_t)ts_id,
                 (uint8_t)(0xC1 | (version & 0x1F) << 1), 0, 0};
    for (auto &pr : programs) {
        s.push_back((uint8_t)(pr.first >> 8));
        s.push_back((uint8_t)pr.first);
        s.push_back((uint8_t)(0xE0 | pr.second >> 8));
        s.push_back((uint8_t)pr.second);
    }
    return psi_finish(s);
}

TsBytes psi_pmt(int version, int pcr_pid, const std::vector<PmtStream> &streams,
                const TsBytes &program_info)
{
    TsBytes s = {0x02,
                 0,
                 0,
                 0x00,
                 0x01,
                 (uint8_t)(0xC1 | (version & 0x1F) << 1),
                 0,
                 0,
                 (uint8_t)(0xE0 | pcr_pid >> 8),
                 (uint8_t)pcr_pid,
                 (uint8_t)(0xF0 | program_info.size() >> 8),
                 (uint8_t)program_info.size()};
    s.insert(s.end(), program_info.begin(), program_info.end());
    for (auto &st : streams) {
        s.push_back((uint8_t)st.stream_type);
        s.push_back((uint8_t)(0xE0 | st.pid >> 8));
        s.push_back((uint8_t)st.pid);
        s.push_back((uint8_t)(0xF0 | st.es_info.size() >> 8));
        s.push_back((uint8_t)st.es_info.size());
        s.insert(s.end(), st.es_info.begin(), st.es_info.end());
    }
    return psi_finish(s);
}

TsBytes iso639_descriptor(const char language[3])
{
    return {0x0A, 4, (uint8_t)language[0], (uint8_t)language[1], (uint8_t)language[2], 0};
}

TsBytes pes_packet(int stream_id, int payload_len, bool bounded)
{
    int pes_length = bounded ? 3 + payload_len : 0;
    TsBytes p = {0, 0, 1, (uint8_t)stream_id, (uint8_t)(pes_length >> 8), (uint8_t)pes_length,
                 0x80, 0x00, 0x00};
    for (int i = 0; i < payload_len; i++)
        p.push_back((uint8_t)i);
    return p;
}

TsBytes ts_concat(const std::vector<TsBytes> &parts)
{
    TsBytes out;
    for (auto &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
