// PSI parsing: the first PAT, every PMT section and the ES_info descriptors.
//
// The packet loop hands a section over as soon as its length condition holds, which can
// be before all the bytes the section's own fields name have arrived, and the fields are
// never checked against each other. So every read here is bounded by the bytes actually
// collected: what lies beyond them is not read, and a table entry whose fixed fields did
// not arrive is not registered.
#include <stdio.h>
#include <stdlib.h>

#include "input/ts_demux.h"
#include "input/ts_register.h"

// The section assembled in `s`: it begins after the pointer_field and its stuffing, and
// ends where the collected bytes end. The caller guarantees the pointer_field is inside.
static const uint8_t *ts_section_start(const TsPidStream *s, int32_t *avail)
{
    int32_t skip = 1 + s->buffer[0];
    *avail = s->length - skip;
    return s->buffer + skip;
}

void ts_parse_pat(TsDemux *demux, int32_t pid)
{
    // Later PATs, whatever their version, are never looked at.
    if (demux->pat_seen)
        return;
    printf("-------------------------------------------------------------\n");
    printf("New PAT (Program Association Table)\n");

    int32_t avail;
    const uint8_t *s = ts_section_start(demux->pids[pid], &avail);
    if (avail > 0 && s[0] != 0) {
        printf("This table isn't a PAT!\n");
        return;
    }
    if (avail < 8) {
        printf("PAT section too short (%d bytes), skipped\n", avail);
        return;
    }
    printf(" TS Id: %04x\n", s[3] << 8 | s[4]);
    int32_t section_length = (s[1] & 0x0F) << 8 | s[2];
    int32_t count = (section_length - 9) / 4;
    printf(" Num Progs: %d\n", count);

    bool registered_all = true;
    int32_t i = 0;
    for (; i < count && 12 + 4 * i <= avail; i++) {
        const uint8_t *e = s + 8 + 4 * i;
        int32_t program = e[0] << 8 | e[1];
        int32_t map_pid = (e[2] << 8 | e[3]) & 0x1FFF;
        printf("  %02d: ProgNum = %5d, %s PID = %5d\n", i, program, program == 0 ? "NIT" : "PMT",
               map_pid);
        if (!demux->pids[map_pid] &&
            !ts_register_pid(demux, map_pid, program == 0 ? kind_nit : kind_pmt))
            registered_all = false;
    }
    if (i < count)
        printf("PAT section truncated: %d of %d programs read\n", i, count);
    // A PMT PID that could not be registered is retried with the next PAT. A truncated
    // section is not: it would be truncated the same way every time and fill the log.
    if (registered_all)
        demux->pat_seen = 1;
}

void ts_parse_pmt(TsDemux *demux, int32_t pid)
{
    int32_t avail;
    const uint8_t *s = ts_section_start(demux->pids[pid], &avail);
    if (avail > 0 && s[0] != 2) {
        printf("This table isn't a PMT!\n");
        return;
    }
    if (avail < 12) {
        printf("PMT section too short (%d bytes), skipped\n", avail);
        return;
    }
    // Allocated before anything is registered: records registered without a PmtInfo to
    // list them would never reach the PMT callback.
    PmtInfo *info = (PmtInfo *)ts_calloc(1, sizeof(PmtInfo));
    if (!info) {
        printf("Out of memory: PMT section on PID %04x skipped\n", pid);
        return;
    }
    info->version = (s[5] >> 1) & 0x1F;
    info->pcr_pid = (s[8] & 0x1F) << 8 | s[9];
    int32_t section_length = (s[1] & 0x0F) << 8 | s[2];
    int32_t program_info_length = (s[10] & 0x0F) << 8 | s[11];

    TsPidStream **tail = &info->streams;
    // The CRC_32 begins at section_length - 1.
    for (int32_t pos = 12 + program_info_length; pos < section_length - 1;) {
        if (avail - pos < 5) {
            printf("PMT section truncated: stream loop stopped at byte %d\n", pos);
            break;
        }
        int32_t stream_type = s[pos];
        int32_t es_pid = (s[pos + 1] & 0x1F) << 8 | s[pos + 2];
        int32_t es_info_length = (s[pos + 3] & 0x0F) << 8 | s[pos + 4];
        if (!demux->pids[es_pid]) {
            TsPidStream *added = ts_register_pid(demux, es_pid, kind_pes);
            if (added) {
                added->stream_type = stream_type;
                *tail = added;
                tail = &added->next;
            }
        }
        // An entry whose header arrived is the stream's: it is registered even when its
        // ES_info was cut off, and the descriptors that did arrive are still read.
        int32_t collected = avail - pos - 5;
        if (es_info_length > collected) {
            ts_parse_descriptors(demux, s + pos + 5, collected, es_pid);
            printf("PMT section truncated: ES_info of PID %04x cut at byte %d\n", es_pid, avail);
            break;
        }
        ts_parse_descriptors(demux, s + pos + 5, es_info_length, es_pid);
        pos += 5 + es_info_length;
    }

    if (!demux->pids[info->pcr_pid])
        ts_register_pid(demux, info->pcr_pid, kind_none);

    if (demux->pmt_callback)
        demux->pmt_callback(demux, info, demux->pmt_user);
    else
        free(info);
}

void ts_parse_descriptors(TsDemux *demux, const uint8_t *data, int32_t len, int32_t pid)
{
    TsPidStream *s = demux->pids[pid];
    if (!s)
        return;
    for (int32_t pos = 0; len - pos >= 2; pos += 2 + data[pos + 1]) {
        // ISO_639_language_descriptor: the first language wins, whatever the length says,
        // as long as its three bytes lie inside the loop.
        if (data[pos] == 0x0A && len - pos >= 5) {
            s->language[0] = (char)data[pos + 2];
            s->language[1] = (char)data[pos + 3];
            s->language[2] = (char)data[pos + 4];
            s->language[3] = 0;
        }
    }
}
