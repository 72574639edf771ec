#!/usr/bin/python3
"""Generator of the DICOM standard data committed in this repository.

Reads the machine-readable extracts of the DICOM standard (a folder with the
sub-folders dictionary/, part3-2025e/, dicom3tools-20251020/, dimse/, services/,
dcm4che/ and ps3.4-handwritten/) once and writes the committed text sources:

    data/dictionary.tsv            standard data dictionary (text source of the binary dictionary)
    data/private_dictionary.tsv    private dictionary of well-known creators
    data/keyword_exceptions.tsv    names whose derived keyword differs from the standard keyword
    data/templates.txt             message and item templates (text source of the message info file)
    etc/services.pro               services profile
    etc/applications.pro           default application profile

Run from the repository root (standard library only):

    /usr/bin/python3 tools/gen/gen_standard.py [STANDARD_DIR]          # write all files
    /usr/bin/python3 tools/gen/gen_standard.py --check [STANDARD_DIR]  # verify written files

STANDARD_DIR defaults to ../shared/standard relative to the repository root.
--check re-reads the standard, re-derives every output and verifies that the files
on disk agree with it (tags, VRs, VMs, names, services, templates), then prints a
summary including the keyword-derivation agreement.  It exits non-zero on any
disagreement.  Output is deterministic: running the generator twice gives identical
files.

tools/gen/condition_names.tsv (committed beside this script) lists the condition
function names that templates may carry; the generator reads it as an input.
"""

import collections
import csv
import hashlib
import json
import os
import re
import sys
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, '..', '..'))

# The 28 VR codes of the library, in code order.
VR28 = ['AE', 'AS', 'CS', 'DA', 'DS', 'DT', 'IS', 'LO', 'LT', 'PN', 'SH', 'ST', 'TM', 'UT',
        'UI', 'SS', 'US', 'AT', 'SL', 'UL', 'FL', 'FD', 'UN', 'OB', 'OW', 'OL', 'OF', 'SQ']

NAME_LIMIT = 99          # dictionary names are cut to this many characters when loaded
CREATOR_LIMIT = 512      # private creator codes likewise
SERVICE_NAME_LIMIT = 49  # service names in the services profile
SERVICES_VALUE_LIMIT = 127
APPLICATION_VALUE_LIMIT = 79
PROFILE_LINE_LIMIT = 298  # profile lines are read with a 299-byte buffer
MAX_PRESENTATION_CONTEXTS = 128

TYPE_STRENGTH = {'1': 0, '1C': 1, '2': 2, '2C': 3, '3': 4}
TYPES = ('1', '1C', '2', '2C', '3')


class GenError(Exception):
    pass


def fail(msg):
    raise GenError(msg)


# ---------------------------------------------------------------------------
# small helpers

def read_tsv(path):
    with open(path, encoding='utf-8', newline='') as f:
        lines = [l for l in f.read().split('\n') if l and not l.startswith('#')]
    header = lines[0].split('\t')
    rows = []
    for l in lines[1:]:
        cells = l.split('\t')
        cells += [''] * (len(header) - len(cells))
        rows.append(dict(zip(header, cells)))
    return rows


def uid_key(uid):
    return tuple(int(p) for p in uid.split('.'))


def hex8(tag):
    return '%08X' % tag


def write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, 'w', encoding='utf-8', newline='\n') as f:
        f.write(text)


def parse_tag_text(t):
    """'(gggg,eeee)' -> (group text, element text), keeping x wildcards."""
    m = re.match(r'^\(([0-9A-Fa-fxX]{4}),([0-9A-Fa-fxX]{4})\)$', t.strip())
    if not m:
        fail('bad tag text %r' % t)
    return m.group(1).upper().replace('X', 'x'), m.group(2).upper().replace('X', 'x')


def is_private_group(g):
    return (g & 1) == 1 and g not in (0x0001, 0x0003, 0x0005, 0x0007, 0xFFFF)


# ---------------------------------------------------------------------------
# VR mapping onto the library's 28 codes

def map_vr(vr, vm_high):
    """Map a VR as the standard writes it to one of the 28 codes, or None (item tags)."""
    vr = vr.strip()
    if vr in VR28:
        return vr
    if vr in ('US or SS', 'US or SS or OW', 'US or OW', 'US\\US or SS\\US'):
        return 'US'
    if vr in ('OB or OW', 'OB_OW', 'OW/OB', 'OB/OW'):
        return 'OW'
    if vr in ('UC', 'UR'):
        return 'UT' if vm_high == 1 else 'LO'
    if vr in ('OD', 'OV', 'SV', 'UV'):
        return 'UN'
    if vr in ('NONE', ''):
        return None
    fail('unmapped VR %r' % vr)


VR_MAPPING_DOC = [
    'US or SS, US or SS or OW, US or OW  -> US  (pixel-value, LUT descriptor and LUT data elements;',
    '                                          the unsigned form is the one implicit-VR data cannot contradict)',
    'OB or OW                            -> OW  (pixel, overlay, curve, audio and waveform data; implicit VR',
    '                                          little endian carries them as OW)',
    'UC, UR with VM 1                    -> UT  (unlimited text: no length limit, backslash kept in the value)',
    'UC, UR with VM above 1              -> LO  (values split at backslashes; longer than 64 characters',
    '                                          they are still stored, the set call reports the length)',
    'OD, OV, SV, UV                      -> UN  (64-bit values have no code of their own: kept as opaque bytes;',
    '                                          explicit-VR streams still carry their real VR)',
    'NONE (item and delimitation tags)   -> not stored',
]


# ---------------------------------------------------------------------------
# keyword derivation from a dictionary name

UNIT_WORDS = ('uAs', 'uA', 'uS', 'mGy', 'mAs', 'mA', 'ms', 'ppm')


def derive_keyword(tag, name):
    """Keyword the library derives from a dictionary name."""
    if tag == 0x00000800:
        return 'CommandDataSetType'
    if name.startswith('3'):
        name = 'Three' + name[1:]
    elif len(name) >= 2 and name.startswith('k-'):
        name = 'K' + name[1:]
    out = []
    flag = False
    n = len(name)
    i = 0
    while i < n:
        c = name[i]
        if c == ' ':
            flag = True
            i += 1
            continue
        if c == '-':
            de = i >= 2 and name[i - 2] in 'dD' and name[i - 1] == 'e'
            pre = i >= 3 and name[i - 3] in 'pP' and name[i - 2] == 'r' and name[i - 1] == 'e'
            if not (de or pre):
                flag = True
            i += 1
            continue
        if c in '/()':
            i += 1
            continue
        if i < n - 1:
            if c == "'" and name[i + 1] == 's':
                i += 2
                continue
            if c == 's' and name[i + 1] == "'":
                out.append('s')
                i += 2
                continue
        if flag:
            rest = name[i:]
            if c in 'ump' and rest in UNIT_WORDS:
                out.append(c)
            else:
                out.append(c.upper())
            flag = False
        else:
            out.append(c)
        i += 1
    return ''.join(out)


# ---------------------------------------------------------------------------
# standard data dictionary

REPEATING_DOC = [
    '(50xx,eeee) and (60xx,eeee) are stored once, under group 5000 and 6000; the library',
    'looks every group 5002..50FE and 6002..60FE up through those entries.',
    'The other repeating masks are all retired.  They are expanded into exact tags where the',
    'expansion is small: (0020,31xx) into 256 tags, (0028,04x0..x3) and (0028,08x0..x8) over',
    'x = 0..F, (7Fxx,0010..0040) over the even groups 7F00..7FFE.  An expanded tag that is',
    'also an explicit dictionary entry (for example (0028,0400) or (7FE0,0010)) keeps the',
    'explicit entry.  (1000,xxx0..5) and (1010,xxxx) would need 24,576 and 65,536 rows and',
    'are not stored; a decoder meets them as unknown tags.',
]


class DictEntry:
    __slots__ = ('tag', 'vr', 'vm_low', 'vm_high', 'keyword', 'name', 'retired', 'source')

    def __init__(self, tag, vr, vm_low, vm_high, keyword, name, retired, source):
        self.tag = tag
        self.vr = vr
        self.vm_low = vm_low
        self.vm_high = vm_high
        self.keyword = keyword
        self.name = name
        self.retired = retired
        self.source = source  # 'std', 'expanded', 'grouplength'


def load_standard_rows(std):
    return read_tsv(os.path.join(std, 'dictionary', 'dictionary_2025e.tsv'))


def build_dictionary(std):
    rows = load_standard_rows(std)
    explicit = {}
    masks = []
    stats = collections.Counter()
    for r in rows:
        g, e = parse_tag_text(r['tag'])
        vm_low, vm_high = int(r['vm_low']), int(r['vm_high'])
        vr = map_vr(r['vr'], vm_high)
        if vr is None:
            stats['item_tags_skipped'] += 1
            continue
        name = r['name'].strip()
        if not name:
            name = 'Retired-blank'
            stats['retired_blank'] += 1
        entry = (vr, vm_low, vm_high, r['keyword'].strip(), name, r['retired'])
        if 'x' not in g + e:
            tag = int(g + e, 16)
            if tag in explicit:
                fail('duplicate tag %08X' % tag)
            explicit[tag] = entry
        elif g in ('50xx', '60xx') and 'x' not in e:
            tag = int(g[:2] + '00' + e, 16)
            if tag in explicit:
                fail('duplicate tag %08X' % tag)
            explicit[tag] = entry
            stats['repeating_50_60'] += 1
        else:
            masks.append((g, e, entry))
    out = {}
    for tag, ent in explicit.items():
        out[tag] = DictEntry(tag, *ent, source='std')
    for g, e, ent in masks:
        tags = expand_mask(g, e)
        if tags is None:
            stats['masks_dropped'] += 1
            continue
        stats['masks_expanded'] += 1
        for t in tags:
            if t in out:
                stats['expanded_collisions'] += 1
                continue
            out[t] = DictEntry(t, *ent, source='expanded')
            stats['expanded_tags'] += 1
    # generic group length for every even group present (0000 and 0002 have their own)
    groups = sorted({t >> 16 for t in out})
    for grp in groups:
        if grp in (0x0000, 0x0002) or grp & 1:
            continue
        t = grp << 16
        if t not in out:
            out[t] = DictEntry(t, 'UL', 1, 1, '', 'Group Length', 'Y', 'grouplength')
            stats['group_lengths'] += 1
    return out, stats, rows


def expand_mask(g, e):
    """Exact tags of a retired repeating mask, or None when not expanded."""
    if g == '0020' and e == '31xx':
        return [0x00203100 + i for i in range(256)]
    if g == '0028' and re.match(r'^0[48]x[0-9A-F]$', e):
        return [int('0028' + e[:2] + '%X' % x + e[3], 16) for x in range(16)]
    if g == '7Fxx' and 'x' not in e:
        return [((0x7F00 + xx) << 16) | int(e, 16) for xx in range(0, 256, 2)]
    if g == '1000' or g == '1010':
        return None
    fail('unexpected repeating mask (%s,%s)' % (g, e))


def dictionary_text(entries, stats):
    h = []
    h.append('# Data dictionary of the DICOM standard, PS3.6 and PS3.7 edition 2025e.')
    h.append('# Generated by tools/gen/gen_standard.py; do not edit by hand.')
    h.append('#')
    h.append('# Columns (tab separated): tag (GGGGEEEE hex), VR (one of the 28 library codes),')
    h.append('# vm_low, vm_high (255 = n), keyword (the standard keyword, empty when none),')
    h.append('# name, retired (Y/N).  Rows ascend by tag.  Item and delimitation tags (FFFE,xxxx)')
    h.append('# are not stored.')
    h.append('#')
    h.append('# VR mapping for VRs outside the 28 codes:')
    for l in VR_MAPPING_DOC:
        h.append('#   ' + l)
    h.append('#')
    h.append('# Repeating groups:')
    for l in REPEATING_DOC:
        h.append('#   ' + l)
    h.append('#')
    h.append('# The seven retired entries the standard leaves without name and keyword are stored')
    h.append('# with the placeholder name "Retired-blank" and an empty keyword, so that implicit-VR')
    h.append('# decoding still knows their VR.')
    h.append('# Every even group that has entries also gets its (gggg,0000) group length element')
    h.append('# (UL, VM 1, name "Group Length", empty keyword, retired); 0000 and 0002 keep their own.')
    h.append('# Names are at most %d characters (the longest standard name has %d).'
             % (NAME_LIMIT, max(len(e.name) for e in entries.values())))
    h.append('# Counts: %d rows; %d from the standard (%d retired), %d expanded from repeating masks, '
             '%d group lengths.' % (
                 len(entries), sum(1 for e in entries.values() if e.source == 'std'),
                 sum(1 for e in entries.values() if e.source == 'std' and e.retired == 'Y'),
                 stats['expanded_tags'], stats['group_lengths']))
    h.append('tag\tvr\tvm_low\tvm_high\tkeyword\tname\tretired')
    lines = h
    for tag in sorted(entries):
        e = entries[tag]
        if len(e.name) > NAME_LIMIT:
            fail('standard name too long: %s' % e.name)
        lines.append('%s\t%s\t%d\t%d\t%s\t%s\t%s' % (hex8(tag), e.vr, e.vm_low, e.vm_high,
                                                     e.keyword, e.name, e.retired))
    return '\n'.join(lines) + '\n'


# ---------------------------------------------------------------------------
# private dictionary

PRIVATE_DOC = [
    'Creator codes are stored without trailing spaces (the library trims them before lookup).',
    'Tags are stored as GGGG00EE: the block byte is 00.  Source shapes:',
    '  (gggg,xxee)  stored as gggg,00ee;',
    '  (gggg,bbee)  full element with its block: masked to gggg,00ee;',
    '  (ggxx,xxee)  group wildcard: expanded over the odd (private) groups gg01..ggFF;',
    '  (gggg,bbxx)  element wildcard: skipped (it describes no single element; these rows are',
    '               placeholder "Private Element Creator" entries).',
    'Creators written "NAME^bb" describe the block bb of creator NAME.  The library cannot tell',
    'blocks of one creator apart, so block 10 (the first block) is stored under NAME, where NAME',
    'has no element of its own with the same number; blocks 11 and up are not stored.',
    'When a creator defines one element twice, the entry with a real name (not "Unknown") wins,',
    'then the block-relative form, then file order.',
    'Entries outside private groups (even groups, 0001-0007) are skipped.',
    'Names longer than 99 characters are cut to 99.',
    'VRs: "US or SS" -> US, "OB_OW" -> OW.',
]


class PrivEntry:
    __slots__ = ('creator', 'tag', 'vr', 'vm_low', 'vm_high', 'name', 'rank', 'order')

    def __init__(self, **kw):
        for k, v in kw.items():
            setattr(self, k, v)


def build_private(std):
    rows = read_tsv(os.path.join(std, 'dictionary', 'private_dictionary.tsv'))
    stats = collections.Counter()
    stats['source_rows'] = len(rows)
    cands = collections.defaultdict(list)
    block_rows = collections.defaultdict(list)
    for idx, r in enumerate(rows):
        creator = r['creator'].rstrip(' ')
        g, e = parse_tag_text(r['tag'])
        vm_low, vm_high = int(r['vm_low']), int(r['vm_high'])
        if vm_high > 255:
            # A fixed multiplicity above 255 has no byte form: stored as 1-n.
            vm_low, vm_high = 1, 255
        vr = map_vr(r['vr'], vm_high)
        if vr is None:
            stats['skipped_no_vr'] += 1
            continue
        name = r['name'].strip()
        if len(name) > NAME_LIMIT:
            name = name[:NAME_LIMIT].rstrip(' ')
            stats['names_cut'] += 1
        if re.match(r'^[0-9A-F]{2}xx$', e):
            stats['element_wildcards_skipped'] += 1
            continue
        if re.match(r'^xx[0-9A-F]{2}$', e):
            elem = int(e[2:], 16)
            relative = True
        elif re.match(r'^[0-9A-F]{4}$', e):
            elem = int(e, 16) & 0xFF
            relative = False
        else:
            fail('bad private element %s' % r['tag'])
        if re.match(r'^[0-9A-F]{2}xx$', g):
            groups = [int(g[:2] + '%02X' % x, 16) for x in range(1, 256, 2)]
            stats['group_wildcards_expanded'] += 1
        elif re.match(r'^[0-9A-F]{4}$', g):
            groups = [int(g, 16)]
        else:
            fail('bad private group %s' % r['tag'])
        m = re.match(r'^(.*)\^([0-9A-F]{2})$', creator)
        for grp in groups:
            if not is_private_group(grp):
                stats['non_private_group_skipped'] += 1
                continue
            tag = (grp << 16) | elem
            rank = (0 if name != 'Unknown' else 1, 0 if relative else 1, idx)
            ent = PrivEntry(creator=creator, tag=tag, vr=vr, vm_low=vm_low, vm_high=vm_high,
                            name=name, rank=rank, order=idx)
            if m:
                block_rows[(m.group(1), m.group(2))].append(ent)
            else:
                cands[(creator, tag)].append(ent)
    block10 = collections.defaultdict(list)
    for (base, blk), ents in block_rows.items():
        if blk != '10':
            stats['block_rows_dropped'] += len(ents)
            continue
        for ent in ents:
            ent.creator = base
            block10[(base, ent.tag)].append(ent)
    for key, ents in block10.items():
        if key in cands:
            stats['block10_shadowed'] += len(ents)
            continue
        cands[key] = ents
        stats['block10_stored'] += 1
    result = {}
    for key, ents in cands.items():
        best = min(ents, key=lambda x: x.rank)
        if len(ents) > 1:
            stats['duplicates_resolved'] += len(ents) - 1
        result[key] = best
    for ent in result.values():
        if len(ent.creator) > CREATOR_LIMIT:
            fail('creator too long: %s' % ent.creator)
    return result, stats


def private_text(entries, stats):
    h = ['# Private data dictionary of well-known creators (vendor elements as collected by the',
         '# GDCM and pydicom projects).  Generated by tools/gen/gen_standard.py; do not edit by hand.',
         '#',
         '# Columns (tab separated): creator, tag (GGGG00EE hex), VR (one of the 28 library codes),',
         '# vm_low, vm_high (255 = n), name.  Rows are grouped by creator (creators sorted by',
         '# their bytes), tags ascending inside each creator.',
         '#']
    for l in PRIVATE_DOC:
        h.append('# ' + l)
    creators = {c for c, _ in entries}
    h.append('# Counts: %d rows, %d creators.' % (len(entries), len(creators)))
    h.append('creator\ttag\tvr\tvm_low\tvm_high\tname')
    for (creator, tag) in sorted(entries, key=lambda k: (k[0].encode('utf-8'), k[1])):
        e = entries[(creator, tag)]
        if '\t' in creator or '\t' in e.name:
            fail('tab in private entry')
        h.append('%s\t%s\t%s\t%d\t%d\t%s' % (creator, hex8(tag), e.vr, e.vm_low, e.vm_high, e.name))
    return '\n'.join(h) + '\n'


# ---------------------------------------------------------------------------
# keyword exceptions

def keyword_exceptions(entries):
    rows = []
    total = 0
    for tag in sorted(entries):
        e = entries[tag]
        if e.source != 'std' or not e.keyword:
            continue
        total += 1
        d = derive_keyword(tag, e.name)
        if d != e.keyword:
            rows.append((tag, e.name, e.keyword, d))
    return total, rows


def keyword_exceptions_text(total, rows):
    h = ['# Standard dictionary entries whose keyword, derived from the name by the library\'s',
         '# keyword rule, differs from the keyword the standard assigns.  Generated by',
         '# tools/gen/gen_standard.py from data/dictionary.tsv rows that carry a standard keyword.',
         '# %d of %d such rows derive the standard keyword; the %d below are the standard\'s own'
         % (total - len(rows), total, len(rows)),
         '# irregular names (hyphenated words it joins, punctuation, typos).',
         '# Columns: tag, name, standard keyword, derived keyword.',
         'tag\tname\tstandard_keyword\tderived_keyword']
    for tag, name, kw, d in rows:
        h.append('%s\t%s\t%s\t%s' % (hex8(tag), name, kw, d))
    return '\n'.join(h) + '\n'


# ---------------------------------------------------------------------------
# services profile

# DIMSE command names of the services profile, with their command field values.
COMMAND_FIELDS = collections.OrderedDict([
    ('C_STORE_RQ', 0x0001), ('C_STORE_RSP', 0x8001),
    ('C_GET_RQ', 0x0010), ('C_GET_RSP', 0x8010),
    ('C_FIND_RQ', 0x0020), ('C_FIND_RSP', 0x8020),
    ('C_MOVE_RQ', 0x0021), ('C_MOVE_RSP', 0x8021),
    ('C_CANCEL_RQ', 0x0FFF),
    ('C_ECHO_RQ', 0x0030), ('C_ECHO_RSP', 0x8030),
    ('N_EVENT_REPORT_RQ', 0x0100), ('N_EVENT_REPORT_RSP', 0x8100),
    ('N_GET_RQ', 0x0110), ('N_GET_RSP', 0x8110),
    ('N_SET_RQ', 0x0120), ('N_SET_RSP', 0x8120),
    ('N_ACTION_RQ', 0x0130), ('N_ACTION_RSP', 0x8130),
    ('N_CREATE_RQ', 0x0140), ('N_CREATE_RSP', 0x8140),
    ('N_DELETE_RQ', 0x0150), ('N_DELETE_RSP', 0x8150),
])

# Message name of the DIMSE tables for each command name.
COMMAND_MESSAGE = {
    'C_STORE_RQ': 'C-STORE-RQ', 'C_STORE_RSP': 'C-STORE-RSP',
    'C_GET_RQ': 'C-GET-RQ', 'C_GET_RSP': 'C-GET-RSP',
    'C_FIND_RQ': 'C-FIND-RQ', 'C_FIND_RSP': 'C-FIND-RSP',
    'C_MOVE_RQ': 'C-MOVE-RQ', 'C_MOVE_RSP': 'C-MOVE-RSP',
    'C_CANCEL_RQ': 'C-CANCEL-FIND-RQ',
    'C_ECHO_RQ': 'C-ECHO-RQ', 'C_ECHO_RSP': 'C-ECHO-RSP',
    'N_EVENT_REPORT_RQ': 'N-EVENT-REPORT-RQ', 'N_EVENT_REPORT_RSP': 'N-EVENT-REPORT-RSP',
    'N_GET_RQ': 'N-GET-RQ', 'N_GET_RSP': 'N-GET-RSP',
    'N_SET_RQ': 'N-SET-RQ', 'N_SET_RSP': 'N-SET-RSP',
    'N_ACTION_RQ': 'N-ACTION-RQ', 'N_ACTION_RSP': 'N-ACTION-RSP',
    'N_CREATE_RQ': 'N-CREATE-RQ', 'N_CREATE_RSP': 'N-CREATE-RSP',
    'N_DELETE_RQ': 'N-DELETE-RQ', 'N_DELETE_RSP': 'N-DELETE-RSP',
}

# Commands whose message carries no template in the library (they open without one).
NO_TEMPLATE_COMMANDS = {0x8001, 0x0150, 0x8150, 0x0030, 0x8030}

ECHO_UID = '1.2.840.10008.1.1'
DICOMDIR_UID = '1.2.840.10008.1.3.10'

# Phrase abbreviations of the service naming rule, applied in this order as whole words.
NAME_ABBREVIATIONS = [
    ('Query/Retrieve', 'QR'),
    ('Information Model', ''),
    ('Modality Performed Procedure Step', 'MPPS'),
    ('Unified Procedure Step', 'UPS'),
    ('Presentation State', 'PS'),
    ('Real-Time Communication', 'RTV'),
    ('Optical Coherence Tomography', 'OCT'),
    ('Ophthalmic Visual Field Static Perimetry', 'OPV'),
    ('Ophthalmic Photography', 'OP'),
    ('Electroencephalogram', 'EEG'),
    ('Nuclear Medicine', 'NM'),
    ('Positron Emission Tomography', 'PET'),
    ('Computed Radiography', 'CR'),
    ('Ultrasound', 'US'),
    ('Secondary Capture', 'SC'),
    ('X-Ray Angiographic', 'XA'),
    ('X-Ray Radiofluoroscopic', 'XRF'),
    ('Digital Mammography X-Ray', 'MG'),
    ('Digital Intra-Oral X-Ray', 'IO'),
    ('Digital X-Ray', 'DX'),
    ('Composite Instance', 'Composite'),
    ('Without Bulk Data', 'No Bulk Data'),
    ('Acquisition', 'Acq'),
    ('Administration', 'Admin'),
    ('Application', 'Appl'),
    ('Conventional', 'Conv'),
    ('Imaging', 'Img'),
    ('Information', 'Info'),
    ('Instruction', 'Instr'),
    ('Management', 'Mgmt'),
]

SERVICE_NAMING_DOC = [
    'Service names are derived from the SOP class names of the DICOM registry by one rule:',
    '  1. drop the words "SOP Class" (and "SOP Class UID");',
    '  2. drop "Image Storage", else "Storage", where it ends the name or a part of it',
    '     (followed by " - " or " (");',
    '  3. replace these phrases (whole words, in this order):',
] + ['     %-42s -> %s' % ('"%s"' % a, '"%s"' % b if b else '(dropped)') for a, b in NAME_ABBREVIATIONS] + [
    '  4. upper-case the result, turn every run of other characters than A-Z and 0-9 into one',
    '     "_", and prefix "STANDARD_";',
    '  5. a retired class whose name equals that of a current class gets the suffix "_RETIRED";',
    '     a retired class without a registry name is STANDARD_RETIRED_ plus its UID after',
    '     "1.2.840.10008." with "_" for ".".',
    '  Two fixed names: Verification SOP Class is STANDARD_ECHO, and Media Storage Directory',
    '  Storage is DICOMDIR (a file service whose name begins with DICOMDIR makes a DICOMDIR',
    '  object).  Examples: CT Image Storage -> STANDARD_CT, Nuclear Medicine Image Storage ->',
    '  STANDARD_NM, Study Root Query/Retrieve Information Model - FIND -> STANDARD_STUDY_ROOT_QR_FIND.',
]


def service_base_name(row):
    uid, name = row['uid'], row['name']
    if uid == ECHO_UID:
        return 'STANDARD_ECHO'
    if uid == DICOMDIR_UID:
        return 'DICOMDIR'
    if name.startswith('(retired, no name'):
        return 'STANDARD_RETIRED_' + uid[len('1.2.840.10008.'):].replace('.', '_')
    n = re.sub(r'\s+SOP Class( UID)?\b', '', name)
    n = re.sub(r'\s*\bImage Storage\b(?=$| - | \()', '', n)
    n = re.sub(r'\s*\bStorage\b(?=$| - | \()', '', n)
    for a, b in NAME_ABBREVIATIONS:
        n = re.sub(r'(?<![A-Za-z0-9])' + re.escape(a) + r'(?![A-Za-z0-9])', b, n)
    n = re.sub(r'[^A-Z0-9]+', '_', n.upper()).strip('_')
    return 'STANDARD_' + n


class Service:
    def __init__(self, row):
        self.row = row
        self.uid = row['uid']
        self.sop_name = row['name']
        self.retired = row['retired'] == 'Y'
        self.meta = row['uid_type'] == 'Meta SOP Class'
        self.service_class = row['service_class']
        self.confidence = row['dimse_confidence']
        self.iod = row['iod_2025e']
        self.name = None
        self.number = None
        self.commands = []
        self.includes = []


def dimse_commands(row):
    """Command names a SOP class allows, in command-table order."""
    uid = row['uid']
    text = row['dimse_services']
    if uid == DICOMDIR_UID:
        # a DICOMDIR is written as a file; file creation names the storage command
        services = ['C-STORE']
    else:
        text = re.sub(r'\(.*?\)', '', text)
        services = [s for s in text.split() if re.match(r'^[CN]-[A-Z-]+$', s)]
    names = set()
    for s in services:
        base = s.replace('-', '_')
        if base == 'C_CANCEL':
            names.add('C_CANCEL_RQ')
        else:
            names.add(base + '_RQ')
            names.add(base + '_RSP')
    for n in names:
        if n not in COMMAND_FIELDS:
            fail('unknown command %s for %s' % (n, uid))
    return [c for c in COMMAND_FIELDS if c in names]


def build_services(std):
    rows = read_tsv(os.path.join(std, 'services', 'sop_classes.tsv'))
    svcs = [Service(r) for r in rows]
    by_uid = {}
    for s in svcs:
        if s.uid in by_uid:
            fail('duplicate SOP class %s' % s.uid)
        by_uid[s.uid] = s
    # naming: current classes claim names first
    taken = {}
    for s in sorted(svcs, key=lambda s: (s.retired, uid_key(s.uid))):
        n = service_base_name(s.row)
        if n in taken:
            if s.retired and not taken[n].retired:
                n += '_RETIRED'
            if n in taken:
                fail('service name collision %s: %s and %s' % (n, taken[n].uid, s.uid))
        if len(n) > SERVICE_NAME_LIMIT:
            fail('service name too long: %s' % n)
        upper = {k.upper() for k in taken}
        if n.upper() in upper:
            fail('service name collision ignoring case: %s' % n)
        taken[n] = s
        s.name = n
    # numbering: current classes by UID, then retired classes by UID
    ordered = sorted(svcs, key=lambda s: (s.retired, uid_key(s.uid)))
    for i, s in enumerate(ordered, 1):
        s.number = i
    for s in ordered:
        if s.meta:
            inc = s.row['meta_includes'].split()
            for u in inc:
                if u not in by_uid:
                    fail('meta class %s includes unknown %s' % (s.uid, u))
            s.includes = sorted((by_uid[u] for u in inc), key=lambda x: x.number)
        else:
            s.commands = dimse_commands(s.row)
    return ordered, by_uid


def services_text(services, items):
    L = []
    L.append('# Services profile: the DICOM services (SOP classes) the library knows, the DIMSE')
    L.append('# commands each allows, and the item names of the message templates.')
    L.append('# Generated by tools/gen/gen_standard.py from the DICOM registry of SOP classes; do not')
    L.append('# edit by hand.  Every SOP class and meta SOP class of the registry appears once.')
    L.append('#')
    for l in SERVICE_NAMING_DOC:
        L.append('# ' + l)
    L.append('#')
    L.append('# Numbering: current classes in UID order first, then retired classes in UID order.')
    L.append('# COMMAND_n lists every request and response of the DIMSE services the class uses;')
    L.append('# the cancel request appears once, as C_CANCEL_RQ.  Meta classes list the services')
    L.append('# they group in SOP_CLASS_n.  A class marked "command set not verified" has its DIMSE')
    L.append('# services from a reading of the retired or trial service definitions only.')
    L.append('# The real-time video classes are carried over DICOM-RTV, not DIMSE: they have no commands.')
    L.append('')
    L.append('[SERVICE_TABLE]')
    L.append('NUMBER_OF_SERVICES_SUPPORTED = %d' % len(services))
    for s in services:
        L.append('%s = %04d' % (s.name, s.number))
    L.append('')
    L.append('[ITEM_TABLE]')
    L.append('NUMBER_OF_ITEMS_SUPPORTED = %d' % len(items))
    for i, name in enumerate(items, 1):
        L.append('%s = %04d' % (name, i))
    for s in services:
        L.append('')
        L.append('# %s%s' % (s.sop_name, ' (retired)' if s.retired else ''))
        if s.confidence in ('low', 'medium') and not s.meta:
            L.append('# command set not verified')
        L.append('[%04d]' % s.number)
        L.append('NAME = %s' % s.name)
        L.append('UID = %s' % s.uid)
        if s.meta:
            L.append('TYPE = META')
            L.append('SOP_CLASSES_INCLUDED = %d' % len(s.includes))
            for i, m in enumerate(s.includes, 1):
                L.append('SOP_CLASS_%d = %04d' % (i, m.number))
        else:
            L.append('TYPE = BASE')
            for i, c in enumerate(s.commands, 1):
                L.append('COMMAND_%d = %s' % (i, c))
    text = '\n'.join(L) + '\n'
    check_profile_lines(text, SERVICES_VALUE_LIMIT)
    return text


def check_profile_lines(text, value_limit):
    for line in text.split('\n'):
        if len(line.encode('utf-8')) > PROFILE_LINE_LIMIT:
            fail('profile line too long: %s' % line[:60])
        s = line.split('#', 1)[0].strip()
        if not s or s.startswith('['):
            continue
        m = re.match(r'^([^ =,]+)[ =,]*(.*)$', s)
        if not m:
            fail('bad profile line %r' % line)
        if len(m.group(2)) > value_limit:
            fail('value too long (%d) in %r' % (len(m.group(2)), line))


# ---------------------------------------------------------------------------
# application profile

NATIVE_SYNTAXES = ['EXPLICIT_LITTLE_ENDIAN', 'IMPLICIT_LITTLE_ENDIAN', 'EXPLICIT_BIG_ENDIAN',
                   'DEFLATED_EXPLICIT_LITTLE_ENDIAN']
COMPRESSED_SYNTAXES = ['RLE', 'JPEG_BASELINE', 'JPEG_EXTENDED_2_4', 'JPEG_LOSSLESS_NON_HIER_14',
                       'JPEG_LS_LOSSLESS', 'JPEG_LS_LOSSY', 'JPEG_2000_LOSSLESS_ONLY', 'JPEG_2000']
KNOWN_SYNTAX_NAMES = {
    'IMPLICIT_LITTLE_ENDIAN', 'EXPLICIT_LITTLE_ENDIAN', 'EXPLICIT_BIG_ENDIAN', 'IMPLICIT_BIG_ENDIAN',
    'DEFLATED_EXPLICIT_LITTLE_ENDIAN', 'RLE', 'JPEG_BASELINE', 'JPEG_EXTENDED_2_4',
    'JPEG_EXTENDED_3_5', 'JPEG_SPEC_NON_HIER_6_8', 'JPEG_SPEC_NON_HIER_7_9',
    'JPEG_FULL_PROG_NON_HIER_10_12', 'JPEG_FULL_PROG_NON_HIER_11_13', 'JPEG_LOSSLESS_NON_HIER_14',
    'JPEG_LOSSLESS_NON_HIER_15', 'JPEG_EXTENDED_HIER_16_18', 'JPEG_EXTENDED_HIER_17_19',
    'JPEG_SPEC_HIER_20_22', 'JPEG_SPEC_HIER_21_23', 'JPEG_FULL_PROG_HIER_24_26',
    'JPEG_FULL_PROG_HIER_25_27', 'JPEG_LOSSLESS_HIER_28', 'JPEG_LOSSLESS_HIER_29',
    'JPEG_LOSSLESS_HIER_14', 'JPEG_2000_LOSSLESS_ONLY', 'JPEG_2000', 'JPEG_LS_LOSSLESS',
    'JPEG_LS_LOSSY', 'MPEG2_MPML', 'PRIVATE_SYNTAX_1', 'PRIVATE_SYNTAX_2',
    'JPEG_2000_MC_LOSSLESS_ONLY', 'JPEG_2000_MC', 'MPEG2_MPHL', 'MPEG4_AVC_H264_HP_LEVEL_4_1',
    'MPEG4_AVC_H264_BDC_HP_LEVEL_4_1', 'JPIP_REFERENCED', 'JPIP_REFERENCED_DEFLATE'}

# Storage classes of the everyday modalities proposed by the default requestor list.
# Requests a storage requestor may have outstanding, and an acceptor take, when both agree.
STORAGE_WINDOW = 16

COMMON_STORAGE_UIDS = [
    '1.2.840.10008.5.1.4.1.1.1',        # CR
    '1.2.840.10008.5.1.4.1.1.1.1',      # DX for presentation
    '1.2.840.10008.5.1.4.1.1.1.1.1',    # DX for processing
    '1.2.840.10008.5.1.4.1.1.1.2',      # MG for presentation
    '1.2.840.10008.5.1.4.1.1.1.2.1',    # MG for processing
    '1.2.840.10008.5.1.4.1.1.1.3',      # IO for presentation
    '1.2.840.10008.5.1.4.1.1.1.3.1',    # IO for processing
    '1.2.840.10008.5.1.4.1.1.2',        # CT
    '1.2.840.10008.5.1.4.1.1.2.1',      # Enhanced CT
    '1.2.840.10008.5.1.4.1.1.3.1',      # US multi-frame
    '1.2.840.10008.5.1.4.1.1.4',        # MR
    '1.2.840.10008.5.1.4.1.1.4.1',      # Enhanced MR
    '1.2.840.10008.5.1.4.1.1.4.2',      # MR spectroscopy
    '1.2.840.10008.5.1.4.1.1.6.1',      # US
    '1.2.840.10008.5.1.4.1.1.7',        # SC
    '1.2.840.10008.5.1.4.1.1.7.1',      # multi-frame SC single bit
    '1.2.840.10008.5.1.4.1.1.7.2',      # multi-frame SC grayscale byte
    '1.2.840.10008.5.1.4.1.1.7.3',      # multi-frame SC grayscale word
    '1.2.840.10008.5.1.4.1.1.7.4',      # multi-frame SC true color
    '1.2.840.10008.5.1.4.1.1.9.1.1',    # 12-lead ECG
    '1.2.840.10008.5.1.4.1.1.9.1.2',    # general ECG
    '1.2.840.10008.5.1.4.1.1.11.1',     # grayscale softcopy presentation state
    '1.2.840.10008.5.1.4.1.1.12.1',     # XA
    '1.2.840.10008.5.1.4.1.1.12.1.1',   # enhanced XA
    '1.2.840.10008.5.1.4.1.1.12.2',     # XRF
    '1.2.840.10008.5.1.4.1.1.13.1.3',   # breast tomosynthesis
    '1.2.840.10008.5.1.4.1.1.20',       # NM
    '1.2.840.10008.5.1.4.1.1.66',       # raw data
    '1.2.840.10008.5.1.4.1.1.66.4',     # segmentation
    '1.2.840.10008.5.1.4.1.1.77.1.1',   # VL endoscopic
    '1.2.840.10008.5.1.4.1.1.77.1.4',   # VL photographic
    '1.2.840.10008.5.1.4.1.1.88.11',    # basic text SR
    '1.2.840.10008.5.1.4.1.1.88.22',    # enhanced SR
    '1.2.840.10008.5.1.4.1.1.88.33',    # comprehensive SR
    '1.2.840.10008.5.1.4.1.1.88.59',    # key object selection
    '1.2.840.10008.5.1.4.1.1.88.67',    # X-ray radiation dose SR
    '1.2.840.10008.5.1.4.1.1.104.1',    # encapsulated PDF
    '1.2.840.10008.5.1.4.1.1.128',      # PET
    '1.2.840.10008.5.1.4.1.1.130',      # enhanced PET
    '1.2.840.10008.5.1.4.1.1.481.1',    # RT image
    '1.2.840.10008.5.1.4.1.1.481.2',    # RT dose
    '1.2.840.10008.5.1.4.1.1.481.3',    # RT structure set
    '1.2.840.10008.5.1.4.1.1.481.4',    # RT beams treatment record
    '1.2.840.10008.5.1.4.1.1.481.5',    # RT plan
    '1.2.840.10008.5.1.4.1.1.481.8',    # RT ion plan
]

QR_UIDS = [
    '1.2.840.10008.5.1.4.1.2.1.1', '1.2.840.10008.5.1.4.1.2.1.2', '1.2.840.10008.5.1.4.1.2.1.3',
    '1.2.840.10008.5.1.4.1.2.2.1', '1.2.840.10008.5.1.4.1.2.2.2', '1.2.840.10008.5.1.4.1.2.2.3',
    '1.2.840.10008.5.1.4.31',
]


def application_text(services, by_uid):
    storage = [s for s in services if not s.meta and s.service_class == 'Storage']
    storage.sort(key=lambda s: uid_key(s.uid))
    common = [by_uid[u] for u in COMMON_STORAGE_UIDS]
    for s in common:
        if s not in storage:
            fail('common storage class %s is not a storage service' % s.uid)
    qr = [by_uid[u] for u in QR_UIDS]
    L = []
    L.append('# Default application profile: service lists, syntax lists and remote applications.')
    L.append('# Generated by tools/gen/gen_standard.py; adapt a copy to the site.  Values are at')
    L.append('# most %d characters; SERVICES_SUPPORTED and SYNTAXES_SUPPORTED come first in their'
             % APPLICATION_VALUE_LIMIT)
    L.append('# sections.')
    L.append('#')
    L.append('# An association carries at most %d presentation contexts, so a list that a requestor'
             % MAX_PRESENTATION_CONTEXTS)
    L.append('# proposes must stay within %d services.  The lists:' % MAX_PRESENTATION_CONTEXTS)
    L.append('#   STORAGE_SERVICE_LIST             all %d storage classes, native syntaxes: for acceptors'
             % len(storage))
    L.append('#                                    (too long to be proposed by a requestor).')
    L.append('#   STORAGE_COMPRESSED_SERVICE_LIST  the same classes, native and compressed syntaxes: for')
    L.append('#                                    acceptors that take compressed pixel data.')
    L.append('#   COMMON_STORAGE_SERVICE_LIST      %d storage classes of the everyday modalities plus'
             % len(common))
    L.append('#                                    verification: for requestors (native syntaxes).')
    L.append('#   COMMON_STORAGE_COMPRESSED_SERVICE_LIST  the same, with the compressed syntaxes.')
    L.append('#   ECHO_SERVICE_LIST                verification only.')
    L.append('#   QUERY_RETRIEVE_SERVICE_LIST      patient and study root FIND, MOVE and GET, modality')
    L.append('#                                    worklist FIND, and verification: for requestors and')
    L.append('#                                    acceptors.')
    L.append('#   QUERY_FIND_SERVICE_LIST          patient and study root FIND and verification: for')
    L.append('#                                    acceptors that answer queries only.')
    L.append('#')
    L.append('# The storage lists offer an asynchronous operations window of %d: a requestor may send'
             % STORAGE_WINDOW)
    L.append('# that many requests before the first answer, when the peer agrees.')
    L.append('')

    def syntax_list(name, syntaxes):
        L.append('[%s]' % name)
        L.append('SYNTAXES_SUPPORTED = %d' % len(syntaxes))
        for i, n in enumerate(syntaxes, 1):
            if n not in KNOWN_SYNTAX_NAMES:
                fail('unknown syntax %s' % n)
            L.append('SYNTAX_%d = %s' % (i, n))
        L.append('')

    def service_list(name, svcs, syntax, role='BOTH', limit=None, window=None):
        if limit is not None and len(svcs) > limit:
            fail('service list %s has %d services, above %d' % (name, len(svcs), limit))
        L.append('[%s]' % name)
        L.append('SERVICES_SUPPORTED = %d' % len(svcs))
        if window is not None:
            L.append('MAX_OPERATIONS_INVOKED = %d' % window)
            L.append('MAX_OPERATIONS_PERFORMED = %d' % window)
        for i, s in enumerate(svcs, 1):
            L.append('SERVICE_%d = %s' % (i, s.name))
            L.append('SYNTAX_LIST_%d = %s' % (i, syntax))
            L.append('ROLE_%d = %s' % (i, role))
        L.append('')

    L.append('# Syntax lists.  NATIVE_SYNTAX_LIST holds the four uncompressed syntaxes;')
    L.append('# COMPRESSED_SYNTAX_LIST adds the common compressed ones.')
    syntax_list('NATIVE_SYNTAX_LIST', NATIVE_SYNTAXES)
    syntax_list('COMPRESSED_SYNTAX_LIST', NATIVE_SYNTAXES + COMPRESSED_SYNTAXES)
    syntax_list('LITTLE_ENDIAN_SYNTAX_LIST', ['EXPLICIT_LITTLE_ENDIAN', 'IMPLICIT_LITTLE_ENDIAN'])
    echo = by_uid[ECHO_UID]
    L.append('# Verification only.')
    service_list('ECHO_SERVICE_LIST', [echo], 'LITTLE_ENDIAN_SYNTAX_LIST',
                 limit=MAX_PRESENTATION_CONTEXTS)
    L.append('# Every storage class, for acceptors.')
    service_list('STORAGE_SERVICE_LIST', storage, 'NATIVE_SYNTAX_LIST',
                 window=STORAGE_WINDOW)
    L.append('# Every storage class with the compressed syntaxes, for acceptors.')
    service_list('STORAGE_COMPRESSED_SERVICE_LIST', storage, 'COMPRESSED_SYNTAX_LIST',
                 window=STORAGE_WINDOW)
    L.append('# Everyday storage classes and verification, for requestors.')
    service_list('COMMON_STORAGE_SERVICE_LIST', common + [echo], 'NATIVE_SYNTAX_LIST',
                 limit=MAX_PRESENTATION_CONTEXTS, window=STORAGE_WINDOW)
    L.append('# Everyday storage classes and verification with the compressed syntaxes, for requestors.')
    service_list('COMMON_STORAGE_COMPRESSED_SERVICE_LIST', common + [echo], 'COMPRESSED_SYNTAX_LIST',
                 limit=MAX_PRESENTATION_CONTEXTS, window=STORAGE_WINDOW)
    L.append('# Query/retrieve and worklist, for requestors and acceptors.')
    service_list('QUERY_RETRIEVE_SERVICE_LIST', qr + [echo], 'LITTLE_ENDIAN_SYNTAX_LIST',
                 limit=MAX_PRESENTATION_CONTEXTS)
    L.append('# Patient and study root FIND and verification, for query-only acceptors.')
    service_list('QUERY_FIND_SERVICE_LIST', [qr[0], qr[3], echo], 'LITTLE_ENDIAN_SYNTAX_LIST',
                 limit=MAX_PRESENTATION_CONTEXTS)
    L.append('# Example remote application: a PACS on this machine.')
    L.append('[EXAMPLE_PACS]')
    L.append('HOST_NAME = 127.0.0.1')
    L.append('PORT_NUMBER = 11112')
    L.append('SERVICE_LIST = COMMON_STORAGE_SERVICE_LIST')
    L.append('')
    L.append('# The same PACS addressed for query/retrieve.')
    L.append('[EXAMPLE_PACS_QR]')
    L.append('HOST_NAME = 127.0.0.1')
    L.append('PORT_NUMBER = 11112')
    L.append('SERVICE_LIST = QUERY_RETRIEVE_SERVICE_LIST')
    text = '\n'.join(L) + '\n'
    check_profile_lines(text, APPLICATION_VALUE_LIMIT)
    return text


# ---------------------------------------------------------------------------
# message templates: common model

class TAttr:
    """One template attribute.  items: None (not a sequence), SELF (the sequence's items
    use the item template this attribute belongs to) or a dict tag -> TAttr."""
    __slots__ = ('tag', 'type', 'cond', 'enums', 'defaults', 'items', 'untyped', 'item_names')

    def __init__(self, tag, typ, cond=None, enums=None, defaults=None, items=None, untyped=False):
        self.item_names = None   # explicit item template names (directory records)
        self.tag = tag
        self.type = typ
        self.cond = cond
        self.enums = enums if enums is not None else {}   # value number -> (kind 'E'|'T', [values])
        self.defaults = defaults if defaults is not None else []
        self.items = items
        self.untyped = untyped

    def copy(self):
        items = self.items
        if isinstance(items, dict):
            items = {t: a.copy() for t, a in items.items()}
        c = TAttr(self.tag, self.type, self.cond,
                  {k: (v[0], list(v[1])) for k, v in self.enums.items()},
                  list(self.defaults), items, self.untyped)
        c.item_names = list(self.item_names) if self.item_names else None
        return c


SELF = 'SELF'


def stronger(t1, t2):
    return t1 if TYPE_STRENGTH[t1] <= TYPE_STRENGTH[t2] else t2


def merge_enums(e1, e2):
    out = {k: (v[0], list(v[1])) for k, v in e1.items()}
    for pos, (kind, vals) in e2.items():
        if pos not in out:
            out[pos] = (kind, list(vals))
            continue
        k0, v0 = out[pos]
        if k0 == kind:
            out[pos] = (k0, v0 + [v for v in vals if v not in v0])
        elif kind == 'E':
            out[pos] = (kind, list(vals))
    return out


def merge_attr(a, b):
    """Merge b into a (same tag, same level): strongest type wins."""
    t = stronger(a.type, b.type)
    if t == a.type and a.type == b.type:
        cond = a.cond or b.cond
    elif t == a.type:
        cond = a.cond
    else:
        cond = b.cond
    a.type = t
    a.cond = cond if t in ('1C', '2C') else None
    a.enums = merge_enums(a.enums, b.enums)
    for d in b.defaults:
        if d not in a.defaults:
            a.defaults.append(d)
    a.untyped = a.untyped and b.untyped
    if a.items is SELF or b.items is SELF:
        a.items = SELF
    elif isinstance(a.items, dict) and isinstance(b.items, dict):
        merge_level(a.items, b.items)
    elif a.items is None and isinstance(b.items, dict):
        a.items = {t2: x.copy() for t2, x in b.items.items()}


def merge_level(dst, src):
    for tag, b in src.items():
        if tag in dst:
            merge_attr(dst[tag], b)
        else:
            dst[tag] = b.copy()


def lowered(level, keep_enums=False):
    """Copy of a level with every type 3 and no conditions, recursively (identifier keys)."""
    out = {}
    for tag, a in level.items():
        b = TAttr(tag, '3', None, {} if not keep_enums else
                  {k: (v[0], list(v[1])) for k, v in a.enums.items()}, [], None, a.untyped)
        if a.items is SELF:
            b.items = SELF
        elif isinstance(a.items, dict):
            b.items = lowered(a.items, keep_enums)
        b.item_names = list(a.item_names) if a.item_names else None
        out[tag] = b
    return out


# ---------------------------------------------------------------------------
# PS3.3 module tables

class PNode:
    __slots__ = ('tag', 'type', 'depth', 'children', 'origin', 'rec_table', 'selfref', 'kw')

    def __init__(self, tag, typ, depth, origin):
        self.tag = tag
        self.type = typ
        self.depth = depth
        self.children = []
        self.origin = origin
        self.rec_table = None
        self.selfref = False
        self.kw = None


class Part3:
    def __init__(self, std, dictionary, stats):
        base = os.path.join(std, 'part3-2025e')
        self.tables = {}
        for i in (1, 2, 3):
            with open(os.path.join(base, 'dicom_tables_part_%d.json' % i), encoding='utf-8') as f:
                self.tables.update(json.load(f)['dicom_tables_part_%d' % i])
        with open(os.path.join(base, 'dicom_modules.json'), encoding='utf-8') as f:
            self.modules = {k.strip(): v for k, v in json.load(f)['dicom_modules'].items()}
        with open(os.path.join(base, 'dicom_iod.json'), encoding='utf-8') as f:
            self.iods = json.load(f)['dicom_iod']
        with open(os.path.join(base, 'dicom_iod_func_groups.json'), encoding='utf-8') as f:
            self.func_groups = json.load(f)['dicom_iod_func_groups']
        self.dictionary = dictionary
        self.stats = stats
        self.table_module = {}
        for sect, tabs in self.modules.items():
            for t in tabs:
                self.table_module[t['name']] = sect

    def caption(self, table_id):
        return self.tables[table_id]['table_caption']

    def expand(self, table_id, fg_refs=None):
        """Tree of PNodes for one table (module or macro), Include lines expanded."""
        flat = []
        self._frame_index = collections.defaultdict(list)
        self._serial = 0
        self._expand(table_id, 0, [(table_id, 0, 0)], flat, fg_refs)
        roots = []
        stack = []   # open SQ nodes by depth
        for kind, node, extra in flat:
            if kind == 'rec':
                # self inclusion of a table inside a sequence: remember it on that sequence
                depth, tid = node, extra
                if depth >= 1 and len(stack) >= depth and stack[depth - 1] is not None:
                    stack[depth - 1].rec_table = tid
                else:
                    self.stats['recursion_without_sequence'] += 1
                continue
            d = node.depth
            if d == 0:
                roots.append(node)
            else:
                if len(stack) < d or stack[d - 1] is None:
                    self.stats['orphan_nested_lines'] += 1
                    continue
                stack[d - 1].children.append(node)
            del stack[d:]
            while len(stack) < d:
                stack.append(None)
            stack.append(node)
        self._resolve_recursion(roots, None)
        return roots

    def _resolve_recursion(self, level, parent):
        for n in level:
            if n.children:
                self._resolve_recursion(n.children, n)
        for n in level:
            if n.rec_table is None:
                continue
            tid = n.rec_table
            # the level into which tid was expanded first: an ancestor level; nodes of that
            # level carry tid in their origin.  Search upwards through our own origin chain.
            frame = None
            for f in n.origin:
                if f[0] == tid:
                    frame = f
                    break
            if frame is None:
                self.stats['recursion_unresolved'] += 1
                continue
            src = self._level_nodes_with_frame(frame)
            have = {c.tag for c in n.children}
            for s in src:
                if s.tag in have:
                    continue
                if s is n or s.tag == n.tag:
                    ref = PNode(n.tag, n.type, n.depth + 1, n.origin)
                    ref.selfref = True
                    n.children.append(ref)
                else:
                    n.children.append(s)
                have.add(s.tag)
            self.stats['recursive_sequences'] += 1

    def _level_nodes_with_frame(self, frame):
        return self._frame_index.get(frame, [])

    def _expand(self, table_id, base_depth, origin, flat, fg_refs):
        for line in self.tables[table_id]['table_lines']:
            if line['type'] == 'InlineObject':
                name = line['name']
                d = len(name) - len(name.lstrip('>'))
                addr = line['address'].strip()
                if re.match(r'^0x[0-9A-Fa-f]{8}$', addr):
                    tag = int(addr, 16)
                elif re.match(r'^[56]0xx[0-9A-Fa-f]{4}$', addr):
                    tag = int(addr[:2] + '00' + addr[4:], 16)
                else:
                    self.stats['wildcard_lines_skipped'] += 1
                    continue
                node = PNode(tag, line['required'].strip(), base_depth + d, tuple(origin))
                flat.append(('node', node, None))
                for f in origin:
                    if f[1] == node.depth:
                        self._frame_index[f].append(node)
                continue
            m = re.match(r'^(>*)Include$', line['prefix'].strip())
            if not m:
                self.stats['free_text_includes_skipped'] += 1
                continue
            d = base_depth + len(m.group(1))
            res = line['linked_resource']
            if res == 'table_IODFunctionalGroupMacros':
                for ref in (fg_refs or []):
                    sect = ref['ref'][len('sect_'):] if ref['ref'].startswith('sect_') else ref['ref']
                    for t in self.modules.get(sect, []):
                        self._include(t['name'], d, origin, flat, fg_refs)
                if not fg_refs:
                    self.stats['functional_group_placeholder_without_iod'] += 1
                continue
            if not res.startswith('table_'):
                self.stats['section_links_skipped'] += 1
                continue
            self._include(res[len('table_'):], d, origin, flat, fg_refs)

    def _include(self, tid, d, origin, flat, fg_refs):
        if tid not in self.tables:
            self.stats['missing_tables'] += 1
            return
        if any(f[0] == tid for f in origin):
            flat.append(('rec', d, tid))
            return
        self._serial += 1
        self._expand(tid, d, origin + [(tid, d, self._serial)], flat, fg_refs)

    def module_tables(self, ref):
        sect = ref[len('sect_'):] if ref.startswith('sect_') else ref
        return [t['name'] for t in self.modules.get(sect.strip(), []) if t['name'] in self.tables]


def norm_name(s):
    s = re.sub(r'\s+(Module|Macro)\s+Attributes$', '', s.strip())
    s = re.sub(r'\s+Attributes$', '', s)
    s = re.sub(r'\s+Module$', '', s)
    return re.sub(r'[^a-z0-9]', '', s.lower())


# ---------------------------------------------------------------------------
# dicom3tools module templates: enumerations, defined terms and conditions

KV_RE = re.compile(r'(\w+)="([^"]*)"')


def strip_comment(line):
    out = []
    inq = False
    for c in line:
        if c == '"':
            inq = not inq
        if c == '#' and not inq:
            break
        out.append(c)
    return ''.join(out)


class D3Node:
    __slots__ = ('kw', 'type', 'cond', 'enums', 'children', 'seq')

    def __init__(self, kw, typ, cond, seq):
        self.kw = kw
        self.type = typ
        self.cond = cond
        self.enums = []       # (value number or 0 for every value, kind, list name, value kind)
        self.children = [] if seq else None
        self.seq = seq


class D3:
    def __init__(self, std, stats):
        base = os.path.join(std, 'dicom3tools-20251020')
        self.stats = stats
        self.defs = {}     # name -> (kind, statements)
        for fn in sorted(os.listdir(os.path.join(base, 'module'))):
            if fn.endswith('.tpl'):
                self._parse_module_file(os.path.join(base, 'module', fn))
        self.string_lists = {}
        for fn in sorted(os.listdir(os.path.join(base, 'strval'))):
            if fn.endswith('.tpl'):
                self._parse_values(os.path.join(base, 'strval', fn), 'StringValues', self.string_lists)
        self.binary_lists = {}
        self._parse_values(os.path.join(base, 'binval.tpl'), 'BinaryValues', self.binary_lists)
        self.conditions = self._parse_conditions(os.path.join(base, 'condn.tpl'))
        self.iod_entities = self._parse_iodcomp(os.path.join(base, 'iodcomp'))
        self._expanded = {}

    def _parse_module_file(self, path):
        with open(path, encoding='utf-8', errors='replace') as f:
            lines = f.read().split('\n')
        cur = None
        stack = None
        for raw in lines:
            line = strip_comment(raw).strip()
            if not line:
                continue
            # one source line lacks its opening quote: Name=Keyword"
            line = re.sub(r'^(Name|Sequence|Verify|InvokeMacro)=([A-Za-z])', r'\1="\2', line)
            kv = dict(KV_RE.findall(line))
            if 'Module' in kv and line.startswith('Module='):
                cur = ('module', kv['Module'])
                stack = [[]]
                continue
            if 'DefineMacro' in kv:
                cur = ('macro', kv['DefineMacro'])
                stack = [[]]
                continue
            if line.startswith('ModuleEnd') or line.startswith('MacroEnd'):
                if cur is not None:
                    self.defs[cur[1]] = (cur[0], stack[0])
                cur = None
                continue
            if cur is None:
                continue
            if line.startswith('SequenceEnd'):
                if len(stack) > 1:
                    stack.pop()
                continue
            if line.startswith('Sequence='):
                st = ('seq', kv, [])
                stack[-1].append(st)
                stack.append(st[2])
                continue
            if line.startswith('Name='):
                stack[-1].append(('name', kv, None))
            elif line.startswith('InvokeMacro='):
                stack[-1].append(('invoke', kv, None))
            elif line.startswith('Verify='):
                stack[-1].append(('verify', kv, None))

    def _parse_values(self, path, key, out):
        with open(path, encoding='utf-8', errors='replace') as f:
            text = f.read()
        for m in re.finditer(key + r'="([^"]+)"\s*\{(.*?)\}', text, re.S):
            vals = []
            for raw in m.group(2).split('\n'):
                line = raw.split('#', 1)[0] if not raw.strip().startswith('#') else ''
                line = line.strip()
                if not line:
                    continue
                if line.endswith(','):
                    line = line[:-1]
                v = line.split('=', 1)[0].strip() if '=' in line else line.strip()
                if v:
                    vals.append(v)
            out[m.group(1)] = vals

    def _parse_conditions(self, path):
        with open(path, encoding='utf-8', errors='replace') as f:
            lines = f.read().split('\n')
        conds = {}
        cur = None
        for raw in lines:
            line = strip_comment(raw).strip()
            if not line:
                continue
            kv = dict(KV_RE.findall(line))
            if line.startswith('Condition='):
                cur = kv['Condition']
                conds[cur] = []
                continue
            if line.startswith('ConditionEnd'):
                cur = None
                continue
            if cur is not None:
                conds[cur].append(kv)
        return conds

    def _parse_iodcomp(self, base):
        ent = {}
        for fn in sorted(os.listdir(base)):
            with open(os.path.join(base, fn), encoding='utf-8', errors='replace') as f:
                cur_ie = None
                for raw in f.read().split('\n'):
                    line = strip_comment(raw).strip()
                    kv = dict(KV_RE.findall(line))
                    if 'InformationEntity' in kv:
                        cur_ie = kv['InformationEntity']
                    elif 'Module' in kv and cur_ie:
                        ent.setdefault(norm_name(kv['Module']), cur_ie)
        return ent

    def has_module(self, name):
        return name in self.defs and self.defs[name][0] == 'module'

    def module_by_norm(self):
        return {norm_name(n): n for n, (k, _) in self.defs.items() if k == 'module'}

    def expand(self, name, stack=()):
        if name in self._expanded:
            return self._expanded[name]
        if name not in self.defs or name in stack:
            self.stats['d3_missing_or_recursive_macros'] += 1
            return []
        nodes = self._expand_list(self.defs[name][1], stack + (name,))
        self._expanded[name] = nodes
        return nodes

    def _expand_list(self, stmts, stack):
        out = []
        last = {}
        for kind, kv, sub in stmts:
            if kind == 'invoke':
                for n in self.expand(kv['InvokeMacro'], stack):
                    out.append(n)
                    last[n.kw] = n
                continue
            if kind == 'verify':
                kw = kv.get('Verify')
                if 'Condition' in kv or kw not in last:
                    continue
                self._add_enums(last[kw], kv)
                continue
            if kind == 'seq':
                n = D3Node(kv['Sequence'].strip(), kv.get('Type', ''), kv.get('Condition'), True)
                n.children = self._expand_list(sub, stack)
            else:
                n = D3Node(kv['Name'].strip(), kv.get('Type', ''), kv.get('Condition'), False)
                self._add_enums(n, kv)
            out.append(n)
            last[n.kw] = n
        return out

    def _add_enums(self, node, kv):
        sel = kv.get('ValueSelector')
        pos = int(sel) + 1 if sel is not None and re.match(r'^\d+$', sel) else 0
        for key, kind, vk in (('StringEnumValues', 'E', 's'), ('StringDefinedTerms', 'T', 's'),
                              ('BinaryEnumValues', 'E', 'b'), ('BinaryDefinedTerms', 'T', 'b')):
            if key in kv:
                node.enums.append((pos, kind, kv[key], vk))
        if 'TagEnumValues' in kv:
            self.stats['tag_enum_lists_skipped'] += 1


def binary_text(v, vr):
    """A binary list value ('0x0001') as the decimal text the value parser accepts."""
    v = v.strip()
    try:
        n = int(v, 16) if v.lower().startswith('0x') else int(v)
    except ValueError:
        return None
    if vr == 'SS' and n >= 0x8000 and n <= 0xFFFF:
        n -= 0x10000
    if vr == 'SL' and n >= 0x80000000 and n <= 0xFFFFFFFF:
        n -= 0x100000000
    return str(n)


class ConditionMapper:
    """Maps dicom3tools predicates and simple presence/value tests onto condition names."""

    def __init__(self, names, keyword_tags, d3, stats):
        self.names = set(names)
        self.kw = keyword_tags
        self.d3 = d3
        self.stats = stats
        self.cache = {}

    def _terms(self, v):
        v = v.strip()
        out = {v.replace(' ', '_'), v.replace(' ', 'x'), v.replace(' ', '')}
        return out

    def candidates_for(self, clauses):
        """clauses: list of dicts (Element, Operator, Modifier, test, value, sel)."""
        cands = set()
        if not clauses:
            return cands
        elems = [c['Element'] for c in clauses]
        if any(e not in self.kw for e in elems):
            return cands
        tags = ['A%08X' % self.kw[e] for e in elems]
        ops = [c.get('Operator', 'Or') for c in clauses[1:]]
        nots = [c.get('Modifier') == 'Not' for c in clauses]
        tests = [c['test'] for c in clauses]
        if len(clauses) == 1:
            c = clauses[0]
            t = tags[0]
            if tests[0] == 'present':
                if nots[0]:
                    cands |= {t + '_NOT_PRESENT', t + '_IS_NOT_PRESENT'}
                else:
                    cands |= {t + '_PRESENT', t + '_IS_PRESENT'}
                return cands
            if tests[0] in ('string', 'binary'):
                v = c['value']
                sels = ['']
                if c.get('sel') is not None:
                    n = c['sel'] + 1
                    sels = ['VAL%d_' % n, 'VAL_%d_' % n]
                for s in sels:
                    for term in self._terms(v):
                        if nots[0]:
                            cands |= {t + '_' + s + 'IS_NOT_' + term, t + '_' + s + 'NOT_' + term}
                        else:
                            cands |= {t + '_' + s + 'IS_' + term}
            return cands
        same = len(set(elems)) == 1
        if same and all(x in ('string', 'binary') for x in tests) and all(o == 'Or' for o in ops) \
                and not any(nots) and len({c.get('sel') for c in clauses}) == 1:
            sel = clauses[0].get('sel')
            sels = [''] if sel is None else ['VAL%d_' % (sel + 1), 'VAL_%d_' % (sel + 1)]
            vals = [c['value'] for c in clauses]
            for s in sels:
                for joiner in ('_OR_', '_'):
                    for mode in ('_', 'x', ''):
                        terms = [v.strip().replace(' ', mode) for v in vals]
                        cands.add(tags[0] + '_' + s + 'IS_' + joiner.join(terms))
            return cands
        if all(x == 'present' for x in tests) and len(set(elems)) == len(elems):
            if all(nots) and all(o == 'And' for o in ops):
                cands.add('_'.join(tags) + '_NOT_PRESENT')
                cands.add('_AND_'.join(tags) + '_NOT_PRESENT')
            if not any(nots) and all(o == 'Or' for o in ops):
                cands.add('_OR_'.join(tags) + '_PRESENT')
                cands.add('_OR_'.join(tags) + '_IS_PRESENT')
            if not any(nots) and all(o == 'And' for o in ops):
                cands.add('_AND_'.join(tags) + '_PRESENT')
                cands.add('_AND_'.join(tags) + '_ARE_PRESENT')
        return cands

    def pick(self, cands):
        hits = sorted(c for c in cands if c in self.names)
        return hits[0] if hits else None

    def from_d3(self, cond_name):
        if cond_name is None:
            return None
        if cond_name in self.cache:
            return self.cache[cond_name]
        result = None
        clauses = []
        simple = True
        for kv in self.d3.conditions.get(cond_name, []):
            keys = set(kv) - {'Element', 'Operator', 'Modifier', 'ValueSelector'}
            c = {'Element': kv.get('Element'), 'Operator': kv.get('Operator', 'Or'),
                 'Modifier': kv.get('Modifier')}
            if kv.get('ValueSelector', '').isdigit():
                c['sel'] = int(kv['ValueSelector'])
            if keys == {'ElementPresent'}:
                c['test'] = 'present'
            elif keys == {'StringValue'}:
                c['test'] = 'string'
                c['value'] = kv['StringValue']
            elif keys == {'BinaryValue'}:
                c['test'] = 'binary'
                c['value'] = binary_text(kv['BinaryValue'], 'US') or kv['BinaryValue']
            else:
                simple = False
                break
            if c['Element'] is None:
                simple = False
                break
            clauses.append(c)
        if simple and clauses:
            result = self.pick(self.candidates_for(clauses))
        self.cache[cond_name] = result
        self.stats['d3_conditions_mapped' if result else 'd3_conditions_unmapped'] += 1
        return result


class Enricher:
    """Attaches dicom3tools enumerations and mapped conditions to PS3.3 table attributes."""

    def __init__(self, d3, mapper, dictionary, stats):
        self.d3 = d3
        self.mapper = mapper
        self.dictionary = dictionary
        self.stats = stats
        self.mod_index = {}
        self.global_index = collections.defaultdict(list)
        for name, (kind, _) in sorted(d3.defs.items()):
            if kind != 'module':
                continue
            mnorm = norm_name(name)
            self._index(d3.expand(name), mnorm, ())
        self.d3_module_names = {norm_name(n) for n, (k, _) in d3.defs.items() if k == 'module'}

    def _index(self, nodes, mnorm, path):
        parent = path[-1] if path else ''
        for n in nodes:
            p = path + (n.kw,)
            key = (mnorm, p)
            if key in self.mod_index:
                self.mod_index[key] = self._combine(self.mod_index[key], n)
            else:
                self.mod_index[key] = n
            self.global_index[(parent, n.kw)].append(n)
            if n.children:
                self._index(n.children, mnorm, p)

    @staticmethod
    def _combine(a, b):
        c = D3Node(a.kw, a.type, a.cond or b.cond, a.seq)
        c.enums = a.enums + [e for e in b.enums if e not in a.enums]
        c.children = a.children
        return c

    def enum_values(self, node, vr):
        out = {}
        for pos, kind, lname, vk in node.enums:
            if vk == 's':
                vals = self.d3.string_lists.get(lname)
                if vals is None:
                    self.stats['d3_missing_value_lists'] += 1
                    continue
                vals = [v for v in vals if v != '***EMPTYVALUE***']
                if vr in ('SS', 'US', 'SL', 'UL', 'FL', 'FD', 'AT', 'UN', 'OB', 'OW', 'OL', 'OF', 'SQ'):
                    self.stats['string_lists_on_binary_vr_skipped'] += 1
                    continue
            else:
                raw = self.d3.binary_lists.get(lname)
                if raw is None:
                    self.stats['d3_missing_value_lists'] += 1
                    continue
                if vr not in ('SS', 'US', 'SL', 'UL', 'IS'):
                    self.stats['binary_lists_on_other_vr_skipped'] += 1
                    continue
                vals = [x for x in (binary_text(v, vr) for v in raw) if x is not None]
            vals = [v for v in vals if v and '\t' not in v and '\\' not in v]
            if not vals:
                continue
            cur = {pos: (kind, vals)}
            out = merge_enums(out, cur)
        return out

    def info(self, mnorm, path, vr):
        """(enums, mapped condition name) for an attribute at path inside module mnorm."""
        node = self.mod_index.get((mnorm, path))
        if node is not None:
            self.stats['enrich_exact'] += 1
            return self.enum_values(node, vr), self.mapper.from_d3(node.cond)
        parent = path[-2] if len(path) > 1 else ''
        cands = self.global_index.get((parent, path[-1]), [])
        sigs = {tuple(n.enums) for n in cands}
        if len(sigs) == 1 and cands and cands[0].enums:
            self.stats['enrich_global'] += 1
            return self.enum_values(cands[0], vr), None
        return {}, None


# ---------------------------------------------------------------------------
# building template levels

class Builder:
    def __init__(self, std, dictionary, cond_names, stats):
        self.std = std
        self.dictionary = dictionary
        self.stats = stats
        self.p3 = Part3(std, dictionary, stats)
        self.d3 = D3(std, stats)
        self.kw_tag = {e.keyword: t for t, e in dictionary.items() if e.keyword}
        self.mapper = ConditionMapper(cond_names, self.kw_tag, self.d3, stats)
        self.enricher = Enricher(self.d3, self.mapper, dictionary, stats)
        self.gaps = []
        self._module_cache = {}

    def vr(self, tag):
        return self.dictionary[tag].vr

    def kw(self, tag):
        e = self.dictionary.get(tag)
        return e.keyword if e else ''

    # -- PS3.3 tables -> levels
    def nodes_to_level(self, nodes, mnorm, path):
        level = {}
        for n in nodes:
            if n.tag not in self.dictionary:
                self.stats['table_tags_not_in_dictionary'] += 1
                continue
            kw = self.kw(n.tag) or ('%08X' % n.tag)
            typ = n.type if n.type in TYPES else '3'
            a = TAttr(n.tag, typ, untyped=(n.type not in TYPES))
            vr = self.vr(n.tag)
            p = path + (kw,)
            enums, cond = self.enricher.info(mnorm, p, vr)
            a.enums = enums
            if typ in ('1C', '2C'):
                a.cond = cond
            if vr == 'SQ':
                if n.selfref:
                    a.items = SELF
                elif n.children:
                    a.items = self.nodes_to_level(n.children, mnorm, p) or None
            elif n.children:
                self.stats['children_under_non_sequence'] += 1
            if n.tag in level:
                merge_attr(level[n.tag], a)
            else:
                level[n.tag] = a
        return level

    def table_level(self, table_id, fg_refs=None, mnorm=None):
        key = (table_id, tuple(r['ref'] for r in fg_refs) if fg_refs else None)
        if key not in self._module_cache:
            nodes = self.p3.expand(table_id, fg_refs)
            if mnorm is None:
                mnorm = norm_name(self.p3.caption(table_id))
            self._module_cache[key] = self.nodes_to_level(nodes, mnorm, ())
        return self._module_cache[key]

    def d3_module_level(self, name, mnorm):
        return self.d3_nodes_to_level(self.d3.expand(name), mnorm, ())

    def d3_nodes_to_level(self, nodes, mnorm, path):
        level = {}
        for n in nodes:
            tag = self.kw_tag.get(n.kw)
            if tag is None:
                self.stats['d3_keywords_not_in_dictionary'] += 1
                continue
            typ = n.type if n.type in TYPES else '3'
            a = TAttr(tag, typ)
            vr = self.vr(tag)
            a.enums = self.enricher.enum_values(n, vr)
            if typ in ('1C', '2C'):
                a.cond = self.mapper.from_d3(n.cond)
            if vr == 'SQ' and n.children:
                a.items = self.d3_nodes_to_level(n.children, mnorm, path + (n.kw,)) or None
            if tag in level:
                merge_attr(level[tag], a)
            else:
                level[tag] = a
        return level

    def module_level(self, module, fg_refs, iod_caption):
        """Level of one module use of an IOD (types as the table gives them)."""
        tabs = self.p3.module_tables(module['ref'])
        level = {}
        if tabs:
            for t in tabs:
                merge_level(level, self.table_level(t, fg_refs))
            return level
        # no PS3.3 table staged: fall back on the dicom3tools module of the same name
        mnorm = norm_name(module['name'])
        byn = self.d3.module_by_norm()
        if mnorm in byn:
            self.gaps.append('%s: module %s (%s) has no staged PS3.3 table; taken from dicom3tools'
                             % (iod_caption, module['name'], module['ref']))
            return self.d3_module_level(byn[mnorm], mnorm)
        self.gaps.append('%s: module %s (%s) has no staged table; its attributes are missing'
                         % (iod_caption, module['name'], module['ref']))
        return level

    def iod_level(self, caption):
        if caption not in self.p3.iods:
            fail('unknown IOD %s' % caption)
        fg = self.p3.func_groups.get(caption)
        out = {}
        for m in self.p3.iods[caption]:
            usage = m['usage'] if isinstance(m['usage'], str) else 'C'
            usage = usage.strip()[:1] or 'C'
            lvl = self.module_level(m, fg, caption)
            if usage != 'M':
                lvl = {t: a.copy() for t, a in lvl.items()}
                for a in lvl.values():
                    a.type = '3'
                    a.cond = None
            merge_level(out, lvl)
        return out

    def sections_level(self, sections, fg_refs=None):
        out = {}
        for sect in sections:
            tabs = self.p3.module_tables(sect)
            for t in tabs:
                merge_level(out, self.table_level(t, fg_refs))
        return out

    def all_functional_groups(self):
        seen = {}
        for refs in self.p3.func_groups.values():
            for r in refs:
                seen.setdefault(r['ref'], r)
        return [seen[k] for k in sorted(seen, key=lambda r: sect_key(r[len('sect_'):]))]

    def composite_sections(self):
        """Sections of every module used by a composite IOD."""
        out = set()
        for mods in self.p3.iods.values():
            for m in mods:
                out.add(m['ref'][len('sect_'):] if m['ref'].startswith('sect_') else m['ref'])
        return out


# ---------------------------------------------------------------------------
# data set content of every (service, command)

# Module sections whose attributes form the query keys of the patient, study, series and
# image levels: the patient, study, series, frame of reference and equipment modules,
# SOP Common and General Image.
QR_SECTION_PREFIXES = ('C.7.1.', 'C.7.2.', 'C.7.3.', 'C.7.4.', 'C.7.5.')
QR_SECTIONS_EXTRA = ('C.12.1', 'C.7.6.1')

# Query/retrieve attributes that belong to no module: the additional query keys of the
# query/retrieve information models.
QR_ADDITIONAL_TAGS = [
    0x00080005, 0x00080052, 0x00080053, 0x00080054, 0x00080056, 0x00080061, 0x00080062,
    0x00080063, 0x00080201, 0x00081190, 0x00201200, 0x00201202, 0x00201204, 0x00201206,
    0x00201208, 0x00201209, 0x00880130, 0x00880140,
]

NORMALIZED_PREFIXES = ('C.2.', 'C.3.', 'C.4.', 'C.13.', 'C.26.', 'C.30.', 'C.31.', 'C.32.', 'C.38.')

# Normalized services: module sections of the attribute lists each service exchanges.  The
# staged module tables carry no types for these modules (their types are in the service
# definitions, which are not staged), so every attribute is carried as type 3.
NORMALIZED_SERVICE_SECTIONS = {
    '1.2.840.10008.5.1.1.1': (['C.13.2'], ['N_CREATE_RQ', 'N_CREATE_RSP', 'N_SET_RQ', 'N_SET_RSP']),
    '1.2.840.10008.5.1.1.2': (['C.13.3', 'C.13.4'],
                              ['N_CREATE_RQ', 'N_CREATE_RSP', 'N_SET_RQ', 'N_SET_RSP']),
    '1.2.840.10008.5.1.1.4': (['C.13.5'], ['N_SET_RQ', 'N_SET_RSP']),
    '1.2.840.10008.5.1.1.4.1': (['C.13.5'], ['N_SET_RQ', 'N_SET_RSP']),
    '1.2.840.10008.5.1.1.15': (['C.13.7'], ['N_SET_RQ', 'N_SET_RSP']),
    '1.2.840.10008.5.1.1.14': (['C.13.8'], ['N_GET_RSP']),
    '1.2.840.10008.5.1.1.16': (['C.13.9'], ['N_GET_RSP']),
    '1.2.840.10008.5.1.1.16.376': (['C.13.13'], ['N_GET_RSP']),
    '1.2.840.10008.5.1.1.40': (['C.32.1', 'C.32.2', 'C.32.3'], ['N_GET_RSP']),
    '1.2.840.10008.5.1.4.33': (['C.4.23'], ['N_CREATE_RQ', 'N_CREATE_RSP']),
    '1.2.840.10008.1.42': (['C.26.4'], ['N_ACTION_RQ']),
    '1.2.840.10008.5.1.4.1.1.201.5': (['C.38.3'], ['N_ACTION_RQ', 'N_GET_RSP']),
    '1.2.840.10008.5.1.4.41': (['C.26.1'], ['C_FIND_RQ', 'C_FIND_RSP']),
    '1.2.840.10008.5.1.4.42': (['C.26.2'], ['C_FIND_RQ', 'C_FIND_RSP']),
}
UPS_SECTIONS = ['C.30.1', 'C.30.2', 'C.30.3', 'C.30.4']
UPS_COMMANDS = ['N_CREATE_RQ', 'N_CREATE_RSP', 'N_SET_RQ', 'N_SET_RSP', 'N_GET_RSP',
                'N_EVENT_REPORT_RQ', 'C_FIND_RQ', 'C_FIND_RSP']
for _u in ('1.2.840.10008.5.1.4.34.6.1', '1.2.840.10008.5.1.4.34.6.2', '1.2.840.10008.5.1.4.34.6.3',
           '1.2.840.10008.5.1.4.34.6.4', '1.2.840.10008.5.1.4.34.6.5', '1.2.840.10008.5.1.4.34.4.1',
           '1.2.840.10008.5.1.4.34.4.2', '1.2.840.10008.5.1.4.34.4.3', '1.2.840.10008.5.1.4.34.4.4'):
    NORMALIZED_SERVICE_SECTIONS[_u] = (UPS_SECTIONS, UPS_COMMANDS)
_RTMV = ['N_CREATE_RQ', 'N_CREATE_RSP', 'N_SET_RQ', 'N_SET_RSP', 'N_GET_RSP']
NORMALIZED_SERVICE_SECTIONS['1.2.840.10008.5.1.4.34.8'] = (['C.31.1', 'C.31.2'], _RTMV)
NORMALIZED_SERVICE_SECTIONS['1.2.840.10008.5.1.4.34.2'] = (['C.31.1', 'C.31.2'], _RTMV)
NORMALIZED_SERVICE_SECTIONS['1.2.840.10008.5.1.4.34.9'] = (['C.31.1', 'C.31.3'], _RTMV)
NORMALIZED_SERVICE_SECTIONS['1.2.840.10008.5.1.4.34.3'] = (['C.31.1', 'C.31.3'], _RTMV)

# Query and retrieve models over one composite IOD (or several): their keys are the IOD's
# attributes.
IOD_QUERY_MODELS = {
    '1.2.840.10008.5.1.4.1.1.200.4': ['Protocol Approval IOD Modules'],
    '1.2.840.10008.5.1.4.1.1.200.5': ['Protocol Approval IOD Modules'],
    '1.2.840.10008.5.1.4.1.1.200.6': ['Protocol Approval IOD Modules'],
    '1.2.840.10008.5.1.4.1.1.201.2': ['Inventory IOD Modules'],
    '1.2.840.10008.5.1.4.1.1.201.3': ['Inventory IOD Modules'],
    '1.2.840.10008.5.1.4.1.1.201.4': ['Inventory IOD Modules'],
    '1.2.840.10008.5.1.4.1.1.201.6': ['Inventory IOD Modules'],
    '1.2.840.10008.5.1.4.20.1': ['CT Defined Procedure Protocol IOD Modules',
                                 'XA Defined Procedure Protocol IOD Modules'],
    '1.2.840.10008.5.1.4.20.2': ['CT Defined Procedure Protocol IOD Modules',
                                 'XA Defined Procedure Protocol IOD Modules'],
    '1.2.840.10008.5.1.4.20.3': ['CT Defined Procedure Protocol IOD Modules',
                                 'XA Defined Procedure Protocol IOD Modules'],
    '1.2.840.10008.5.1.4.38.2': ['Hanging Protocol IOD Modules'],
    '1.2.840.10008.5.1.4.38.3': ['Hanging Protocol IOD Modules'],
    '1.2.840.10008.5.1.4.38.4': ['Hanging Protocol IOD Modules'],
    '1.2.840.10008.5.1.4.39.2': ['Color Palette IOD Modules'],
    '1.2.840.10008.5.1.4.39.3': ['Color Palette IOD Modules'],
    '1.2.840.10008.5.1.4.39.4': ['Color Palette IOD Modules'],
    '1.2.840.10008.5.1.4.43.2': ['Generic Implant Template IOD Modules'],
    '1.2.840.10008.5.1.4.43.3': ['Generic Implant Template IOD Modules'],
    '1.2.840.10008.5.1.4.43.4': ['Generic Implant Template IOD Modules'],
    '1.2.840.10008.5.1.4.44.2': ['Implant Assembly Template IOD Modules'],
    '1.2.840.10008.5.1.4.44.3': ['Implant Assembly Template IOD Modules'],
    '1.2.840.10008.5.1.4.44.4': ['Implant Assembly Template IOD Modules'],
    '1.2.840.10008.5.1.4.45.2': ['Implant Template Group IOD Modules'],
    '1.2.840.10008.5.1.4.45.3': ['Implant Template Group IOD Modules'],
    '1.2.840.10008.5.1.4.45.4': ['Implant Template Group IOD Modules'],
}

# Retired storage classes whose IOD lives on in a current class.
RETIRED_STORAGE_IOD = {
    '1.2.840.10008.5.1.4.1.1.3': 'Ultrasound Multi-frame Image IOD Modules',
    '1.2.840.10008.5.1.4.1.1.5': 'Nuclear Medicine Image IOD Modules',
    '1.2.840.10008.5.1.4.1.1.6': 'Ultrasound Image IOD Modules',
}

QR_MODELS = {
    # uid: (root, operation)
    '1.2.840.10008.5.1.4.1.2.1.1': ('PATIENT', 'FIND'), '1.2.840.10008.5.1.4.1.2.1.2': ('PATIENT', 'MOVE'),
    '1.2.840.10008.5.1.4.1.2.1.3': ('PATIENT', 'GET'),
    '1.2.840.10008.5.1.4.1.2.2.1': ('STUDY', 'FIND'), '1.2.840.10008.5.1.4.1.2.2.2': ('STUDY', 'MOVE'),
    '1.2.840.10008.5.1.4.1.2.2.3': ('STUDY', 'GET'),
    '1.2.840.10008.5.1.4.1.2.3.1': ('PATIENT_STUDY', 'FIND'),
    '1.2.840.10008.5.1.4.1.2.3.2': ('PATIENT_STUDY', 'MOVE'),
    '1.2.840.10008.5.1.4.1.2.3.3': ('PATIENT_STUDY', 'GET'),
    '1.2.840.10008.5.1.4.1.2.4.2': ('COMPOSITE', 'MOVE'), '1.2.840.10008.5.1.4.1.2.4.3': ('COMPOSITE', 'GET'),
    '1.2.840.10008.5.1.4.1.2.5.3': ('COMPOSITE', 'GET'),
}
QR_LEVELS = {'PATIENT': ['PATIENT', 'STUDY', 'SERIES', 'IMAGE'], 'STUDY': ['STUDY', 'SERIES', 'IMAGE'],
             'PATIENT_STUDY': ['PATIENT', 'STUDY'], 'COMPOSITE': ['STUDY', 'SERIES', 'IMAGE']}

MWL_UID = '1.2.840.10008.5.1.4.31'
MPPS_UID = '1.2.840.10008.3.1.2.3.3'
MPPS_RETRIEVE_UID = '1.2.840.10008.3.1.2.3.4'
STORAGE_COMMITMENT_UIDS = ('1.2.840.10008.1.20.1', '1.2.840.10008.1.20.2')

# Directory record types that have no key table in the staged data but that the library's
# record hierarchy names.
LIBRARY_RECORD_TYPES = ['TOPIC', 'VISIT', 'RESULTS', 'INTERPRETATION', 'STUDY COMPONENT', 'PRINT QUEUE',
                        'FILM SESSION', 'FILM BOX', 'IMAGE BOX', 'STORED PRINT', 'OVERLAY',
                        'MODALITY LUT', 'VOI LUT', 'CURVE', 'MRDR', 'PRIVATE', 'MEASUREMENT',
                        'IMPLANT', 'IMPLANT ASSY', 'IMPLANT GROUP', 'HANGING PROTOCOL']


def dir_rec_name(rtype):
    return 'DIR_REC_' + re.sub(r'[^A-Z0-9]+', '_', rtype.upper()).strip('_')


class Template:
    def __init__(self, kind, name, command, level, notes):
        self.kind = kind          # 'SERVICE' or 'ITEM'
        self.name = name
        self.command = command    # command name, or None for items
        self.level = level
        self.notes = notes


class TemplateSet:
    def __init__(self, std, dictionary, services, by_uid, cond_names, stats):
        self.std = std
        self.dictionary = dictionary
        self.services = services
        self.by_uid = by_uid
        self.stats = stats
        self.b = Builder(std, dictionary, cond_names, stats)
        self.templates = []
        self.fixed_items = {}     # explicit item templates (directory records)
        self.data_notes = []      # gaps reported in the file header
        self.message_fields = collections.defaultdict(list)
        for r in read_tsv(os.path.join(std, 'dimse', 'message_fields.tsv')):
            self.message_fields[r['message']].append(r)
        self.messages = {r['message']: r for r in read_tsv(os.path.join(std, 'dimse', 'messages.tsv'))}
        self._cache = {}

    # -- small helpers
    def tag_of(self, kw):
        t = self.b.kw_tag.get(kw)
        if t is None:
            fail('unknown keyword %s' % kw)
        return t

    def cached(self, key, fn):
        if key not in self._cache:
            self._cache[key] = fn()
        return self._cache[key]

    def carries_data(self, command):
        return self.messages[COMMAND_MESSAGE[command]]['data_set_part'] != '(none)'

    # -- command group
    def command_level(self, command):
        msg = COMMAND_MESSAGE[command]
        level = {}
        for r in self.message_fields[msg]:
            g, e = parse_tag_text(r['tag'])
            tag = int(g + e, 16)
            typ = r['suggested_type'].strip()
            if typ not in TYPES:
                fail('bad command field type %r' % typ)
            a = TAttr(tag, typ)
            if tag == 0x00000100:
                a.defaults = [str(COMMAND_FIELDS[command])]
            if tag == 0x00000800 and not self.carries_data(command):
                a.defaults = ['257']
            if tag == 0x00000700:
                a.enums = {0: ('E', ['0', '1', '2'])}
            level[tag] = a
        return level

    # -- data sets
    def qr_keys(self):
        def build():
            secs = [s for s in self.b.p3.modules
                    if s.startswith(QR_SECTION_PREFIXES) or s in QR_SECTIONS_EXTRA]
            lvl = lowered(self.b.sections_level(sorted(secs, key=sect_key)))
            for t in QR_ADDITIONAL_TAGS:
                if t not in lvl:
                    lvl[t] = TAttr(t, '3')
            return lvl
        return self.cached('qr_keys', build)

    def generic_composite(self):
        return self.cached('generic', lambda: lowered(
            self.b.sections_level(sorted(self.b.composite_sections(), key=sect_key),
                                  self.b.all_functional_groups())))

    def normalized_all(self):
        def build():
            secs = [s for s in self.b.p3.modules if s.startswith(NORMALIZED_PREFIXES)]
            return lowered(self.b.sections_level(sorted(secs, key=sect_key)))
        return self.cached('normalized', build)

    def iod(self, caption):
        return self.cached(('iod', caption), lambda: self.b.iod_level(caption))

    def qr_dataset(self, root, op, command):
        levels = QR_LEVELS[root]
        qrl = TAttr(0x00080052, '1', enums={0: ('E', list(levels))})
        if command in ('C_FIND_RQ', 'C_FIND_RSP'):
            lvl = {t: a.copy() for t, a in self.qr_keys().items()}
            if command == 'C_FIND_RSP':
                qrl.type = '1C'
            lvl[0x00080052] = qrl
            return lvl, 'query keys of the %s root levels, all optional (type 3)' % root.lower()
        if command in ('C_MOVE_RQ', 'C_GET_RQ'):
            lvl = {0x00080052: qrl}
            if root in ('PATIENT', 'PATIENT_STUDY'):
                lvl[0x00100020] = TAttr(0x00100020, '1')
                lvl[0x0020000D] = TAttr(0x0020000D, '1C', 'A00080052_STUDY_OR_BELOW')
            else:
                lvl[0x0020000D] = TAttr(0x0020000D, '1')
            if 'SERIES' in levels:
                lvl[0x0020000E] = TAttr(0x0020000E, '1C', 'A00080052_SERIES_QUERY_OR_BELOW')
            if 'IMAGE' in levels:
                lvl[0x00080018] = TAttr(0x00080018, '1C', 'A00080052_IS_IMAGE')
            return lvl, 'unique keys down to the retrieve level'
        if command in ('C_MOVE_RSP', 'C_GET_RSP'):
            return {0x00080058: TAttr(0x00080058, '1C')}, \
                'failed SOP instance UID list of a response with failed or warning sub-operations'
        return None, None

    def handwritten(self):
        return read_tsv(os.path.join(self.std, 'ps3.4-handwritten', 'query_and_notification_keys.tsv'))

    def handwritten_level(self, rows, type_fn):
        level = {}
        parent = None
        for r in rows:
            g, e = parse_tag_text(r['tag'])
            tag = int(g + e, 16)
            typ = type_fn(r)
            a = TAttr(tag, typ)
            if r['nesting'].strip() == '>':
                if parent is None:
                    fail('nested handwritten row without sequence')
                if parent.items is None:
                    parent.items = {}
                if tag in parent.items:
                    merge_attr(parent.items[tag], a)
                else:
                    parent.items[tag] = a
            else:
                if tag in level:
                    merge_attr(level[tag], a)
                else:
                    level[tag] = a
                if self.dictionary[tag].vr == 'SQ':
                    parent = level[tag]
        return level

    def mwl_dataset(self, command):
        rows = [r for r in self.handwritten() if r['model'] == 'ModalityWorklist']
        if command == 'C_FIND_RSP':
            keys = self.handwritten_level(rows, lambda r: r['return_key_type'].strip())
        else:
            keys = lowered(self.handwritten_level(rows, lambda r: '3'))
        secs = ['C.2.1', 'C.2.2', 'C.2.3', 'C.2.4', 'C.3.1', 'C.3.2', 'C.3.3', 'C.3.4',
                'C.4.10', 'C.4.11', 'C.4.12']
        lvl = {t: a.copy() for t, a in self.cached('mwl_modules',
                                                   lambda: lowered(self.b.sections_level(secs))).items()}
        merge_level(lvl, keys)
        if 0x00080005 not in lvl:
            lvl[0x00080005] = TAttr(0x00080005, '3')
        return lvl, ('worklist keys with their return key types (responses) or as optional keys '
                     '(requests), plus the attributes of the worklist information model modules '
                     'as type 3')

    def storage_commitment_dataset(self, command):
        rows = [r for r in self.handwritten() if r['model'] == 'StorageCommitmentPush']
        if command == 'N_ACTION_RQ':
            sel = [r for r in rows if r['level_or_message'].startswith('N-ACTION-RQ')]
            return self.handwritten_level(sel, lambda r: r['matching_key_or_type'].split()[0]), \
                'storage commitment request (action type 1)'
        if command == 'N_EVENT_REPORT_RQ':
            sel = [r for r in rows if r['level_or_message'].startswith('N-EVENT-REPORT-RQ')]

            def typ(r):
                t = r['matching_key_or_type'].strip()
                if '/' in t:
                    return '1C'
                if r['level_or_message'].endswith('EventTypeID=2') and r['nesting'] != '>':
                    return '1C' if t == '1' else t
                return t.split()[0]
            return self.handwritten_level(sel, typ), \
                'storage commitment result (event types 1 and 2; attributes of one event type only are 1C)'
        if command in ('N_ACTION_RSP', 'N_EVENT_REPORT_RSP'):
            return {}, 'the reply carries no attributes'
        return None, None

    def dcm4che_level(self, path):
        root = ET.parse(path).getroot()
        ids = {}
        if_ids = {}

        def cond_of(de):
            iff = de.find('If')
            if iff is None:
                return False, None
            if iff.get('idref'):
                node = if_ids.get(iff.get('idref'))
            else:
                node = iff
                if iff.get('id'):
                    if_ids[iff.get('id')] = iff
            if node is None:
                return True, None
            return True, self.translate_if(node)

        def level(elem):
            out = {}
            for de in elem.findall('DataElement'):
                typ = de.get('type')
                if typ == '0':
                    continue
                tag = int(de.get('tag'), 16)
                if tag not in self.dictionary:
                    self.stats['dcm4che_tags_not_in_dictionary'] += 1
                    continue
                conditional, cond = cond_of(de)
                if typ not in ('1', '2', '3'):
                    fail('bad dcm4che type %r' % typ)
                if conditional and typ in ('1', '2'):
                    typ += 'C'
                a = TAttr(tag, typ, cond if typ in ('1C', '2C') else None)
                vals = [v.text.strip() for v in de.findall('Value') if v.text and v.text.strip()]
                if vals and self.dictionary[tag].vr not in ('SQ',):
                    a.enums = {0: ('E', vals)}
                item = de.find('Item')
                if item is not None:
                    if item.get('idref'):
                        a.items = {t: x.copy() for t, x in ids.get(item.get('idref'), {}).items()}
                    else:
                        a.items = level(item)
                        if item.get('id'):
                            ids[item.get('id')] = a.items
                    a.items = a.items or None
                out[tag] = a
            return out
        return level(root)

    def translate_if(self, node):
        kids = list(node)
        if len(kids) != 1:
            return None
        k = kids[0]
        clauses = []

        def clause(x, op):
            kw = x.get('keyword')
            if x.tag == 'Present':
                return [{'Element': kw, 'Operator': op, 'test': 'present'}]
            if x.tag == 'NotPresent':
                return [{'Element': kw, 'Operator': op, 'Modifier': 'Not', 'test': 'present'}]
            if x.tag == 'MemberOf':
                vals = [v.text.strip() for v in x.findall('Value') if v.text]
                return [{'Element': kw, 'Operator': 'Or', 'test': 'string', 'value': v} for v in vals]
            return None
        if k.tag in ('Or', 'And'):
            for x in k:
                c = clause(x, k.tag)
                if c is None:
                    return None
                clauses += c
        else:
            clauses = clause(k, 'Or')
            if clauses is None:
                return None
        return self.b.mapper.pick(self.b.mapper.candidates_for(clauses))

    def mpps_dataset(self, command):
        base = os.path.join(self.std, 'dcm4che')
        create = self.cached('mpps_create', lambda: self.dcm4che_level(os.path.join(base, 'mpps-ncreate-iod.xml')))
        nset = self.cached('mpps_set', lambda: self.dcm4che_level(os.path.join(base, 'mpps-nset-iod.xml')))
        if command == 'N_CREATE_RQ':
            return {t: a.copy() for t, a in create.items()}, 'MPPS N-CREATE attribute list'
        if command == 'N_SET_RQ':
            return {t: a.copy() for t, a in nset.items()}, \
                'MPPS N-SET modification list (attributes that may not be set are left out)'
        both = {t: a.copy() for t, a in create.items()}
        merge_level(both, nset)
        return lowered(both, keep_enums=True), 'MPPS attributes, all optional in this message'

    def dataset(self, svc, command):
        """(level or None, note) of the data set of one (service, command)."""
        if not self.carries_data(command):
            return {}, None
        uid = svc.uid
        if command == 'C_STORE_RQ':
            if uid == DICOMDIR_UID:
                return self.dicomdir_level(), 'Basic Directory IOD'
            cap = svc.iod or RETIRED_STORAGE_IOD.get(uid)
            if cap:
                return {t: a.copy() for t, a in self.iod(cap).items()}, \
                    '%s (mandatory modules keep their types; attributes of user-optional and ' \
                    'conditional modules are type 3)' % cap.replace(' Modules', '')
            return {t: a.copy() for t, a in self.generic_composite().items()}, \
                'IOD not in the staged PS3.3 tables: every attribute of the composite modules, type 3'
        if uid in QR_MODELS:
            root, op = QR_MODELS[uid]
            return self.qr_dataset(root, op, command)
        if uid == MWL_UID and command in ('C_FIND_RQ', 'C_FIND_RSP'):
            return self.mwl_dataset(command)
        if uid in STORAGE_COMMITMENT_UIDS:
            lvl, note = self.storage_commitment_dataset(command)
            if lvl is not None:
                return lvl, note
        if uid in (MPPS_UID, MPPS_RETRIEVE_UID) and command in (
                'N_CREATE_RQ', 'N_SET_RQ', 'N_CREATE_RSP', 'N_SET_RSP', 'N_GET_RSP'):
            return self.mpps_dataset(command)
        if uid in NORMALIZED_SERVICE_SECTIONS and command in NORMALIZED_SERVICE_SECTIONS[uid][1]:
            secs = NORMALIZED_SERVICE_SECTIONS[uid][0]
            lvl = lowered(self.cached(('secs', tuple(secs)), lambda: self.b.sections_level(secs)))
            note = 'attributes of module(s) %s, type 3 (the staged tables carry no types)' % ', '.join(secs)
            if uid == '1.2.840.10008.5.1.1.1':
                note += '; the Basic Film Session Presentation Module (C.13.1) is not staged'
            return lvl, note
        if uid in IOD_QUERY_MODELS:
            if command in ('C_FIND_RQ', 'C_FIND_RSP'):
                lvl = {}
                for cap in IOD_QUERY_MODELS[uid]:
                    merge_level(lvl, lowered(self.iod(cap)))
                return lvl, 'attributes of %s as optional keys' % ', '.join(
                    c.replace(' Modules', '') for c in IOD_QUERY_MODELS[uid])
            if command in ('C_MOVE_RQ', 'C_GET_RQ'):
                return {0x00080018: TAttr(0x00080018, '1'),
                        0x00080052: TAttr(0x00080052, '3')}, 'unique key of the instances to retrieve'
            if command in ('C_MOVE_RSP', 'C_GET_RSP'):
                return {0x00080058: TAttr(0x00080058, '1C')}, \
                    'failed SOP instance UID list of a response with failed or warning sub-operations'
        if command in ('C_FIND_RQ', 'C_FIND_RSP'):
            lvl = {t: a.copy() for t, a in self.qr_keys().items()}
            merge_level(lvl, self.normalized_all())
            return lvl, ('query keys not staged for this model: the patient/study/series/image keys '
                         'and the normalized module attributes, all type 3')
        return {t: a.copy() for t, a in self.normalized_all().items()}, \
            ('attribute list not staged for this service: every attribute of the normalized '
             'modules, type 3')

    # -- DICOMDIR
    def dicomdir_level(self):
        return {t: a.copy() for t, a in self.cached('dicomdir', self._dicomdir).items()}

    def _dicomdir(self):
        b = self.b
        top = {}
        merge_level(top, b.table_level('F.3-2', mnorm='filesetidentification'))
        merge_level(top, b.table_level('F.3-3', mnorm='directoryinformation'))
        seq = top[0x00041220]
        common = seq.items or {}
        for t in (0x00041504,):
            common.setdefault(t, TAttr(t, '3'))
        # record keys: dicomdir record macros of dicom3tools, keyed by record type
        d3 = b.d3
        macro_of = {}
        for kind, kv, sub in d3.defs['DirectoryInformation'][1]:
            if kind != 'seq':
                continue
            for k2, kv2, _ in sub:
                if k2 == 'invoke' and kv2.get('Condition'):
                    for c in d3.conditions.get(kv2['Condition'], []):
                        if c.get('Element') == 'DirectoryRecordType' and 'StringValue' in c:
                            macro_of[c['StringValue']] = kv2['InvokeMacro']
        factory = self.record_factory()
        types = set(macro_of) | set(factory) | set(LIBRARY_RECORD_TYPES)
        types |= set(d3.string_lists.get('DirectoryRecordType', []))
        types = sorted(t for t in types if t and t != '***EMPTYVALUE***')
        names = []
        for rtype in types:
            lvl = {t: a.copy() for t, a in common.items()}
            if rtype in macro_of:
                merge_level(lvl, b.d3_module_level(macro_of[rtype], 'directoryinformation'))
            extra = {t: TAttr(t, '3') for t in factory.get(rtype, []) if t in self.dictionary}
            for t, a in extra.items():
                if t not in lvl:
                    lvl[t] = a
            if rtype == 'MRDR':
                lvl[0x00041600] = TAttr(0x00041600, '1')
            rt = lvl[0x00041430]
            rt.enums = {0: ('E', list(types))}
            rt.defaults = [rtype]
            name = dir_rec_name(rtype)
            self.fixed_items[name] = (lvl, 'directory record of type %s' % rtype)
            names.append(name)
        seq.items = None
        seq.item_names = names
        self.record_types = types
        return top

    def record_factory(self):
        path = os.path.join(self.std, 'dcm4che', 'RecordFactory.xml')
        root = ET.parse(path).getroot()
        out = {}
        for item in root.iter('Item'):
            rtype = None
            tags = []
            for da in item.findall('DicomAttribute'):
                tag = int(da.get('tag'), 16)
                if tag == 0x00041430:
                    v = da.find('Value')
                    rtype = v.text.strip() if v is not None and v.text else None
                else:
                    tags.append(tag)
            if rtype:
                out[rtype] = tags
        return out

    # -- all templates
    def build(self):
        for svc in self.services:
            if svc.meta:
                continue
            for cmd in svc.commands:
                level = self.command_level(cmd)
                notes = []
                data, note = self.dataset(svc, cmd)
                if data:
                    for t in data:
                        if t < 0x00030000:
                            fail('data set tag below group 0003 in %s %s' % (svc.name, cmd))
                    level.update(data)
                if note:
                    notes.append(note)
                if COMMAND_FIELDS[cmd] in NO_TEMPLATE_COMMANDS:
                    notes.append('the library opens this command without applying its template')
                self.templates.append(Template('SERVICE', svc.name, cmd, level, notes))
        self.data_notes = sorted(set(self.b.gaps))


def sect_key(s):
    parts = re.split(r'[.]', s)
    return tuple((0, int(p)) if p.isdigit() else (1, p) for p in parts)


# ---------------------------------------------------------------------------
# item naming and the template text

class ItemNamer:
    """Gives every distinct item content one item template name.

    An item is identified by the keyword of its sequence and its content (attributes with
    their template information, and the items of nested sequences).  The content used most
    often (counted once per distinct template or item that holds it) keeps the bare
    keyword; other contents of the same keyword get _2, _3, ... in
    order of decreasing use, ties broken by the content digest."""

    def __init__(self, dictionary):
        self.dictionary = dictionary
        self.sig_memo = {}
        self.content = {}      # key -> level
        self.uses = collections.Counter()
        self.names = {}

    def key_of(self, attr):
        kw = self.dictionary[attr.tag].keyword or ('SQ%08X' % attr.tag)
        return (kw, self.sig(attr.items))

    def sig(self, level):
        k = id(level)
        if k in self.sig_memo:
            return self.sig_memo[k][0]
        parts = []
        for tag in sorted(level):
            a = level[tag]
            if a.items is SELF:
                child = 'SELF'
            elif isinstance(a.items, dict):
                child = '%s:%s' % self.key_of(a)
            elif a.item_names:
                child = 'N:' + ','.join(a.item_names)
            else:
                child = ''
            parts.append('%08X|%s|%s|%r|%r|%s' % (tag, a.type, a.cond or '', sorted(a.enums.items()),
                                                  a.defaults, child))
        h = hashlib.sha1('\n'.join(parts).encode('utf-8')).hexdigest()[:16]
        self.sig_memo[k] = (h, level)
        return h

    def collect(self, level, seen_items):
        for a in level.values():
            if isinstance(a.items, dict):
                key = self.key_of(a)
                self.uses[key] += 1
                if key not in self.content:
                    self.content[key] = a.items
                if key not in seen_items:
                    seen_items.add(key)
                    self.collect(a.items, seen_items)

    def assign(self, reserved):
        by_kw = collections.defaultdict(list)
        for key in self.content:
            by_kw[key[0]].append(key)
        taken = {r.upper() for r in reserved}
        for kw in sorted(by_kw):
            keys = sorted(by_kw[kw], key=lambda k: (-self.uses[k], k[1]))
            for i, key in enumerate(keys):
                name = kw if i == 0 else '%s_%d' % (kw, i + 1)
                if name.upper() in taken:
                    fail('item name collision %s' % name)
                taken.add(name.upper())
                self.names[key] = name

    def name_of(self, attr):
        return self.names[self.key_of(attr)]


TEMPLATE_GRAMMAR = r'''
Grammar.  One record per line; fields are separated by exactly one TAB; a line whose first
character is '#' is a comment; empty lines are ignored.  No field contains a TAB.

  TEMPLATE<TAB>SERVICE<TAB><service name><TAB><command name>
      Starts the template of one (service, command) pair.  The service name is a key of
      [SERVICE_TABLE] of etc/services.pro, the command one of the COMMAND_ names
      (C_STORE_RQ ... N_DELETE_RSP).  The message information file indexes it by the
      service's number and the command's field value.
  TEMPLATE<TAB>ITEM<TAB><item name>
      Starts the template of one item name, a key of [ITEM_TABLE] of etc/services.pro;
      indexed by the item's number.
  ATTR<TAB><tag><TAB><type><TAB><keyword>
      Starts an attribute of the current template.  <tag> is 8 upper-case hex digits
      GGGGEEEE (repeating groups 50xx and 60xx appear as 5000 and 6000); <type> is one of
      1, 1C, 2, 2C, 3 and becomes the record with parameter ID 9999; <keyword> is the
      dictionary keyword, informational only (may be empty).  Tags ascend strictly within a
      template.  The lines that follow, up to the next ATTR or TEMPLATE, belong to this
      attribute and each becomes one record with the attribute's tag:
  ENUM<TAB><n><TAB><value>      enumerated value for value number n (1..1000): parameter ID n
  TERM<TAB><n><TAB><value>      defined term for value number n (1..999): parameter ID 1000+n
  ITEMNAME<TAB><item name>      sequence attribute: an item name allowed in the sequence
                                (parameter ID 1); the first one names items read for it
  COND<TAB><function name>      condition function of a 1C or 2C attribute: parameter ID 2000
  VR<TAB><two letters>          VR for a tag the dictionary lacks: parameter ID 9500 (unused here)
  DEFAULT<TAB><value>           one default value, "<null>" for a NULL value: parameter ID 9600
  CREATOR<TAB><text>            private creator code: parameter ID 9700 (unused here)

Values are text exactly as written after the TAB (trailing spaces are significant, none are
written).  Values of binary VRs (US, SS, UL, SL) are decimal numbers.  The value multiplicity
of an attribute is not part of a template: the library takes it from the dictionary.
'''


def finalize_enums(enums, vm_high):
    """Value-numbered lists as the library applies them.  A list without value number (key
    0) applies to every value and is written for value 1.  A list for one single value
    number other than 1 (or for value 1 of a multi-valued attribute) cannot be expressed,
    because the library applies a one-position list to every value; it is dropped."""
    keys = set(enums)
    if not keys:
        return {}
    if keys == {0}:
        return {1: enums[0]}
    out = {k: v for k, v in enums.items() if k != 0}
    if len(out) == 1:
        (p, _), = out.items()
        if p > 1 or vm_high > 1 or vm_high == 255:
            return {}
    return out


class TemplateWriter:
    def __init__(self, dictionary, cond_names, stats):
        self.dictionary = dictionary
        self.cond_names = set(cond_names)
        self.stats = stats

    def attr_lines(self, a, namer, own_name):
        e = self.dictionary.get(a.tag)
        if e is None:
            fail('template tag %08X not in dictionary' % a.tag)
        L = ['ATTR\t%08X\t%s\t%s' % (a.tag, a.type, e.keyword)]
        enums = finalize_enums(a.enums, e.vm_high)
        if a.enums and not enums:
            self.stats['value_lists_dropped_single_position'] += 1
        for pos in sorted(enums):
            kind, vals = enums[pos]
            if pos > (1000 if kind == 'E' else 999):
                fail('value number too high')
            for v in vals:
                if '\t' in v or '\n' in v or not v:
                    fail('bad value %r' % v)
                L.append('%s\t%d\t%s' % ('ENUM' if kind == 'E' else 'TERM', pos, v))
                self.stats['enum_records' if kind == 'E' else 'term_records'] += 1
        if a.items is SELF:
            L.append('ITEMNAME\t%s' % own_name)
            self.stats['self_referencing_sequences'] += 1
        elif isinstance(a.items, dict):
            L.append('ITEMNAME\t%s' % namer.name_of(a))
        elif a.item_names:
            for n in a.item_names:
                L.append('ITEMNAME\t%s' % n)
        if a.cond:
            if a.type not in ('1C', '2C'):
                fail('condition on type %s' % a.type)
            if a.cond not in self.cond_names:
                fail('unknown condition %s' % a.cond)
            L.append('COND\t%s' % a.cond)
            self.stats['condition_records'] += 1
        for d in a.defaults:
            L.append('DEFAULT\t%s' % d)
        return L

    def level_lines(self, level, namer, own_name):
        L = []
        for tag in sorted(level):
            L += self.attr_lines(level[tag], namer, own_name)
        return L


def templates_text(ts, namer, item_order, writer, services):
    L = ['# Message templates: the text source of the message information file.',
         '# Generated by tools/gen/gen_standard.py from the DICOM standard\'s module tables',
         '# (PS3.3 2025e), the dicom3tools module templates (enumerated values, defined terms and',
         '# conditions), the DIMSE command tables (PS3.7) and the other staged extracts; do not',
         '# edit by hand.']
    for l in TEMPLATE_GRAMMAR.strip('\n').split('\n'):
        L.append(('# ' + l).rstrip())
    L += ['#',
          '# Content.',
          '#   Every (service, command) pair that etc/services.pro allows has one template, holding',
          '#   the command group (0000) attributes of the message with their types (mandatory 1,',
          '#   user option 3, conditional 1C), the fixed Command Field value and, for messages',
          '#   without a data set, the Command Data Set Type 0101H as defaults, then the data set',
          '#   attributes as the comment above the template says.',
          '#   Storage requests carry the attributes of their IOD\'s modules.  Attributes of',
          '#   mandatory modules keep the types of the module tables; the top-level attributes',
          '#   of user-optional (U) and conditional (C) modules are carried as type 3, since a',
          '#   module\'s presence is no condition the library can test; attributes inside',
          '#   sequences keep their types (they apply whenever the item exists).  An attribute',
          '#   reached through several modules keeps the strongest type (1 > 1C > 2 > 2C > 3).',
          '#   Enumerated values and defined terms come from the dicom3tools templates; a list',
          '#   that holds for one value position only of a multi-valued attribute is left out.',
          '#   A 1C or 2C attribute carries a COND only where its condition is a plain presence',
          '#   or value test that one of the library\'s condition functions performs; the others',
          '#   carry none (the library then reports the condition as not checked).',
          '#   Query identifiers carry their keys as type 3 without value lists (a key may hold',
          '#   wildcards or be empty); retrieve identifiers carry the unique keys.',
          '#   Items: one item template per distinct sequence content, named after the sequence',
          '#   keyword (_2, _3 ... for other contents of the same keyword); a sequence names its',
          '#   item template in ITEMNAME.  Directory records are the items DIR_REC_<record type>.',
          '#',
          '# Gaps in the staged data (the templates say so where they are affected):',
          '#   - The types of the normalized services (print, UPS, instance availability, RT',
          '#     machine verification, display system, inventory creation and the retired',
          '#     detached management services) are defined with the services, not in the module',
          '#     tables, and are not staged: their attributes are carried as type 3, and where',
          '#     the staged data does not say which attributes a message exchanges, every',
          '#     attribute of the normalized modules is allowed as type 3.',
          '#   - The Basic Film Session Presentation Module and the Presentation LUT Module have',
          '#     no staged table; the film session templates lack their attributes.',
          '#   - MPPS types come from the dcm4che MPPS definitions; worklist return key types,',
          '#     query/retrieve keys and storage commitment types from a hand-written table.',
          '#   - Storage classes whose IOD is not in the staged PS3.3 tables (DICOS, DICONDE and',
          '#     most retired classes) allow every composite module attribute as type 3.']
    for g in ts.data_notes:
        L.append('#   - %s' % g)
    L.append('#')
    counts = '# Counts: %d service templates, %d item templates.' % (len(ts.templates), len(item_order))
    L.append(counts)
    svc_num = {s.name: s.number for s in services}
    cmd_order = list(COMMAND_FIELDS)
    for t in sorted(ts.templates, key=lambda t: (svc_num[t.name], cmd_order.index(t.command))):
        L.append('')
        for n in t.notes:
            L.append('# %s' % n)
        L.append('TEMPLATE\tSERVICE\t%s\t%s' % (t.name, t.command))
        L += writer.level_lines(t.level, namer, None)
    for name, (level, note) in item_order:
        L.append('')
        if note:
            L.append('# %s' % note)
        L.append('TEMPLATE\tITEM\t%s' % name)
        L += writer.level_lines(level, namer, name)
    return '\n'.join(L) + '\n'


def build_templates(ts, dictionary):
    """Names every item and returns (namer, [(item name, (level, note))] in item-number order)."""
    namer = ItemNamer(dictionary)
    seen = set()
    seen_templates = set()
    for t in ts.templates:
        # identical data sets shared by many services count once
        s = namer.sig(t.level)
        if s in seen_templates:
            continue
        seen_templates.add(s)
        namer.collect(t.level, seen)
    for name, (lvl, note) in sorted(ts.fixed_items.items()):
        namer.collect(lvl, seen)
    namer.assign(set(ts.fixed_items))
    items = {}
    for key, lvl in namer.content.items():
        items[namer.names[key]] = (lvl, None)
    for name, v in ts.fixed_items.items():
        if name in items:
            fail('duplicate item name %s' % name)
        items[name] = v
    order = sorted(items.items(), key=lambda kv: kv[0].upper())
    return namer, order


# ---------------------------------------------------------------------------
# driver

def load_condition_names():
    rows = read_tsv(os.path.join(HERE, 'condition_names.tsv'))
    return [r['name'] for r in rows]


class Outputs:
    """Every generated file, as text keyed by its path relative to the repository."""

    def __init__(self, std):
        self.stats = collections.Counter()
        self.std = std
        self.dictionary, self.dict_stats, self.std_rows = build_dictionary(std)
        self.private, self.private_stats = build_private(std)
        self.kw_total, self.kw_exceptions = keyword_exceptions(self.dictionary)
        self.services, self.by_uid = build_services(std)
        self.cond_names = load_condition_names()
        self.ts = TemplateSet(std, self.dictionary, self.services, self.by_uid, self.cond_names,
                              self.stats)
        self.ts.build()
        self.namer, self.items = build_templates(self.ts, self.dictionary)
        writer = TemplateWriter(self.dictionary, self.cond_names, self.stats)
        self.files = collections.OrderedDict()
        self.files['data/dictionary.tsv'] = dictionary_text(self.dictionary, self.dict_stats)
        self.files['data/private_dictionary.tsv'] = private_text(self.private, self.private_stats)
        self.files['data/keyword_exceptions.tsv'] = keyword_exceptions_text(self.kw_total,
                                                                            self.kw_exceptions)
        self.files['data/templates.txt'] = templates_text(self.ts, self.namer, self.items, writer,
                                                          self.services)
        self.files['etc/services.pro'] = services_text(self.services, [n for n, _ in self.items])
        self.files['etc/applications.pro'] = application_text(self.services, self.by_uid)


def default_std():
    return os.path.normpath(os.path.join(REPO, '..', 'shared', 'standard'))


def main(argv):
    args = [a for a in argv[1:] if not a.startswith('--')]
    flags = [a for a in argv[1:] if a.startswith('--')]
    for f in flags:
        if f not in ('--check',):
            print('usage: gen_standard.py [--check] [STANDARD_DIR]', file=sys.stderr)
            return 2
    std = args[0] if args else default_std()
    if not os.path.isdir(os.path.join(std, 'dictionary')):
        print('not a standard folder: %s' % std, file=sys.stderr)
        return 2
    try:
        out = Outputs(std)
        if '--check' in flags:
            return check(out)
        for rel, text in out.files.items():
            write_text(os.path.join(REPO, rel), text)
            print('wrote %-30s %9d bytes' % (rel, len(text.encode('utf-8'))))
        return 0
    except GenError as e:
        print('error: %s' % e, file=sys.stderr)
        return 1


# ---------------------------------------------------------------------------
# check mode: verify the written files against the standard

class Checker:
    def __init__(self, out):
        self.out = out
        self.errors = []
        self.summary = []

    def err(self, msg):
        if len(self.errors) < 200:
            self.errors.append(msg)
        elif len(self.errors) == 200:
            self.errors.append('... further errors suppressed')

    def read(self, rel):
        path = os.path.join(REPO, rel)
        if not os.path.exists(path):
            self.err('%s is missing' % rel)
            return None
        with open(path, encoding='utf-8', newline='') as f:
            return f.read()

    # -- files on disk are what the generator produces now
    def check_regenerated(self):
        for rel, text in self.out.files.items():
            disk = self.read(rel)
            if disk is not None and disk != text:
                self.err('%s differs from what the generator produces from the standard now' % rel)

    # -- data dictionary
    def check_dictionary(self):
        text = self.read('data/dictionary.tsv')
        if text is None:
            return
        rows = read_tsv(os.path.join(REPO, 'data', 'dictionary.tsv'))
        table = {}
        prev = -1
        for r in rows:
            tag = int(r['tag'], 16)
            if tag <= prev:
                self.err('dictionary rows not ascending at %s' % r['tag'])
            prev = tag
            if r['vr'] not in VR28:
                self.err('dictionary VR %s of %s is not a library code' % (r['vr'], r['tag']))
            if len(r['name']) > NAME_LIMIT or not r['name']:
                self.err('dictionary name of %s empty or too long' % r['tag'])
            table[tag] = r
        n_std = 0
        for s in self.out.std_rows:
            g, e = parse_tag_text(s['tag'])
            vm_high = int(s['vm_high'])
            vr = map_vr(s['vr'], vm_high)
            if vr is None:
                continue
            if 'x' in g + e and g not in ('50xx', '60xx'):
                tags = expand_mask(g, e) or []
                for t in tags:
                    if t not in table:
                        self.err('expanded tag %08X missing' % t)
                continue
            tag = int(g[:2] + '00' + e, 16) if g in ('50xx', '60xx') else int(g + e, 16)
            n_std += 1
            r = table.get(tag)
            if r is None:
                self.err('standard tag %s missing from the dictionary' % s['tag'])
                continue
            name = s['name'].strip() or 'Retired-blank'
            want = (vr, s['vm_low'], s['vm_high'], s['keyword'].strip(), name, s['retired'])
            got = (r['vr'], r['vm_low'], r['vm_high'], r['keyword'], r['name'], r['retired'])
            if want != got:
                self.err('dictionary row %s is %r, standard says %r' % (s['tag'], got, want))
        # the raw registry agrees on keyword and VR
        with open(os.path.join(self.out.std, 'dictionary', 'dicom_tags_2025e.json'), encoding='utf-8') as f:
            raw = json.load(f)['dicom_tags']['main']
        n_raw = 0
        for k, v in raw.items():
            tag = int(k, 16)
            if v['vr'] == 'NONE':
                continue
            n_raw += 1
            r = table.get(tag)
            if r is None:
                self.err('registry tag %s missing' % k)
                continue
            vm = v['vm']
            hi = 1 if re.match(r'^\d+$', vm) else 255
            if r['keyword'] != v['keyword'].strip() or r['vr'] != map_vr(v['vr'], hi if hi == 1 else int(r['vm_high'])):
                self.err('registry entry %s (%s %s) disagrees with %s %s'
                         % (k, v['keyword'], v['vr'], r['keyword'], r['vr']))
        self.summary.append('dictionary: %d rows; all %d standard entries present with their VR, VM, '
                            'keyword, name and retired flag; %d registry entries agree'
                            % (len(table), n_std, n_raw))

    # -- private dictionary
    def check_private(self):
        if self.read('data/private_dictionary.tsv') is None:
            return
        rows = read_tsv(os.path.join(REPO, 'data', 'private_dictionary.tsv'))
        have = set()
        prev = None
        done_creators = set()
        for r in rows:
            c = r['creator']
            tag = int(r['tag'], 16)
            if c != c.rstrip(' '):
                self.err('creator with trailing space: %r' % c)
            if (tag >> 8) & 0xFF:
                self.err('private tag %s carries a block byte' % r['tag'])
            if not is_private_group(tag >> 16):
                self.err('private tag %s outside a private group' % r['tag'])
            if r['vr'] not in VR28 or len(r['name']) > NAME_LIMIT:
                self.err('private row %s %s bad VR or name' % (c, r['tag']))
            if prev and prev[0] == c:
                if tag <= prev[1]:
                    self.err('private tags not ascending in %s at %s' % (c, r['tag']))
            elif c in done_creators:
                self.err('creator %s appears in two runs' % c)
            done_creators.add(c)
            prev = (c, tag)
            have.add((c, tag))
        src = read_tsv(os.path.join(self.out.std, 'dictionary', 'private_dictionary.tsv'))
        covered = 0
        for s in src:
            c = s['creator'].rstrip(' ')
            g, e = parse_tag_text(s['tag'])
            if re.match(r'^[0-9A-F]{2}xx$', e) or re.search(r'\^1[1-9A-F]$', c):
                continue
            c = re.sub(r'\^10$', '', c)
            elem = int(e[2:], 16)
            groups = [int(g[:2] + '%02X' % x, 16) for x in range(1, 256, 2)] if 'x' in g else [int(g, 16)]
            for grp in groups:
                if not is_private_group(grp):
                    continue
                covered += 1
                if (c, (grp << 16) | elem) not in have:
                    self.err('private element %s %s missing' % (s['creator'], s['tag']))
        self.summary.append('private dictionary: %d rows, %d creators; every storable source element '
                            'present (%d checked)' % (len(rows), len(done_creators), covered))

    # -- keyword rule
    def check_keywords(self):
        rows = read_tsv(os.path.join(REPO, 'data', 'keyword_exceptions.tsv'))
        listed = {int(r['tag'], 16) for r in rows}
        total = 0
        agree = 0
        diff = []
        for s in self.out.std_rows:
            g, e = parse_tag_text(s['tag'])
            if 'x' in g + e and g not in ('50xx', '60xx'):
                continue
            kw = s['keyword'].strip()
            name = s['name'].strip()
            if not kw or not name:
                continue
            tag = int(g[:2] + '00' + e, 16) if g in ('50xx', '60xx') else int(g + e, 16)
            total += 1
            d = derive_keyword(tag, name)
            if d == kw:
                agree += 1
            else:
                diff.append((tag, name, kw, d))
        if {t for t, _, _, _ in diff} != listed:
            self.err('data/keyword_exceptions.tsv does not list exactly the keyword exceptions')
        self.summary.append('keyword rule: %d of %d standard keywords derived from the name (%.2f%%); '
                            '%d exceptions:' % (agree, total, 100.0 * agree / total, len(diff)))
        for tag, name, kw, d in diff:
            self.summary.append('    %08X  %-52s %-44s derived %s' % (tag, name, kw, d))

    # -- profiles
    @staticmethod
    def parse_profile(text):
        sections = collections.OrderedDict()
        cur = None
        for raw in text.split('\n'):
            line = raw.split('#', 1)[0]
            line = ''.join(c for c in line if c.isprintable()).strip()
            if not line:
                continue
            if line.startswith('['):
                cur = line[1:-1]
                if cur.upper() in (k.upper() for k in sections):
                    raise GenError('section %s twice' % cur)
                sections[cur] = []
                continue
            if cur is None:
                continue
            m = re.match(r'^([^ =,]+)[ =,]*(.*)$', line)
            sections[cur].append((m.group(1), m.group(2)))
        return sections

    def check_services(self):
        text = self.read('etc/services.pro')
        if text is None:
            return None
        try:
            check_profile_lines(text, SERVICES_VALUE_LIMIT)
            secs = self.parse_profile(text)
        except GenError as e:
            self.err('services profile: %s' % e)
            return None
        table = secs.get('SERVICE_TABLE', [])
        if not table or table[0][0] != 'NUMBER_OF_SERVICES_SUPPORTED':
            self.err('SERVICE_TABLE must start with NUMBER_OF_SERVICES_SUPPORTED')
            return None
        listed = collections.OrderedDict((k, int(v)) for k, v in table[1:])
        if int(table[0][1]) != len(listed):
            self.err('NUMBER_OF_SERVICES_SUPPORTED is not the number of services')
        items = secs.get('ITEM_TABLE', [])
        item_names = collections.OrderedDict((k, int(v)) for k, v in items[1:])
        if not items or int(items[0][1]) != len(item_names):
            self.err('NUMBER_OF_ITEMS_SUPPORTED is not the number of items')
        if sorted(item_names.values()) != list(range(1, len(item_names) + 1)):
            self.err('item numbers are not 1..n')
        services = {}
        uids = {}
        for name, num in listed.items():
            if len(name) > SERVICE_NAME_LIMIT:
                self.err('service name %s longer than %d' % (name, SERVICE_NAME_LIMIT))
            sec = secs.get('%04d' % num)
            if sec is None:
                self.err('no section for service %s' % name)
                continue
            kv = collections.defaultdict(list)
            for k, v in sec:
                kv[k].append(v)
            if kv['NAME'] != [name]:
                self.err('section %04d names %s, table says %s' % (num, kv['NAME'], name))
            uid = kv['UID'][0]
            if uid in uids:
                self.err('UID %s used twice' % uid)
            uids[uid] = name
            services[name] = {'number': num, 'uid': uid, 'type': kv['TYPE'][0],
                              'commands': [v for k, v in sec if k.startswith('COMMAND_')],
                              'includes': [int(v) for k, v in sec if k.startswith('SOP_CLASS_')]}
            for k, v in sec:
                if k.startswith('COMMAND_') and v not in COMMAND_FIELDS:
                    self.err('unknown command %s in %s' % (v, name))
        if len({n.upper() for n in listed}) != len(listed):
            self.err('two services share a name')
        rows = read_tsv(os.path.join(self.out.std, 'services', 'sop_classes.tsv'))
        num_uid = {s['number']: s['uid'] for s in services.values()}
        for r in rows:
            name = uids.get(r['uid'])
            if name is None:
                self.err('SOP class %s (%s) has no service' % (r['uid'], r['name']))
                continue
            s = services[name]
            if r['uid_type'] == 'Meta SOP Class':
                if s['type'] != 'META':
                    self.err('%s should be META' % name)
                want = sorted(r['meta_includes'].split(), key=uid_key)
                got = sorted((num_uid.get(n, '?') for n in s['includes']), key=uid_key)
                if want != got:
                    self.err('meta service %s includes %s, registry says %s' % (name, got, want))
            else:
                if s['type'] != 'BASE':
                    self.err('%s should be BASE' % name)
                if s['commands'] != dimse_commands(r):
                    self.err('%s allows %s, its DIMSE services give %s'
                             % (name, s['commands'], dimse_commands(r)))
        echo = uids.get(ECHO_UID)
        if echo != 'STANDARD_ECHO':
            self.err('the verification class is not STANDARD_ECHO')
        if services.get('STANDARD_NM', {}).get('uid') != '1.2.840.10008.5.1.4.1.1.20':
            self.err('STANDARD_NM is not Nuclear Medicine Image Storage')
        if services.get('DICOMDIR', {}).get('uid') != DICOMDIR_UID:
            self.err('DICOMDIR is not Media Storage Directory Storage')
        n_cmd = sum(len(s['commands']) for s in services.values())
        self.summary.append('services profile: %d services (%d meta), %d commands, %d items; every one '
                            'of the %d registry SOP classes has its service'
                            % (len(services), sum(1 for s in services.values() if s['type'] == 'META'),
                               n_cmd, len(item_names), len(rows)))
        return services, item_names

    def check_applications(self, services):
        text = self.read('etc/applications.pro')
        if text is None or services is None:
            return
        try:
            check_profile_lines(text, APPLICATION_VALUE_LIMIT)
            secs = self.parse_profile(text)
        except GenError as e:
            self.err('application profile: %s' % e)
            return
        lists = 0
        for name, kv in secs.items():
            if not kv:
                continue
            first = kv[0][0]
            if first == 'SYNTAXES_SUPPORTED':
                vals = [v for k, v in kv[1:] if k.startswith('SYNTAX_')]
                if len(vals) != int(kv[0][1]) or any(v.upper() not in KNOWN_SYNTAX_NAMES for v in vals):
                    self.err('syntax list %s is inconsistent' % name)
            elif first == 'SERVICES_SUPPORTED':
                lists += 1
                n = int(kv[0][1])
                d = dict(kv)
                for i in range(1, n + 1):
                    svc = d.get('SERVICE_%d' % i)
                    if svc not in services:
                        self.err('list %s names unknown service %s' % (name, svc))
                    sl = d.get('SYNTAX_LIST_%d' % i)
                    if sl is not None and sl not in secs:
                        self.err('list %s names unknown syntax list %s' % (name, sl))
                    if d.get('ROLE_%d' % i, 'BOTH') not in ('SCU', 'SCP', 'BOTH'):
                        self.err('bad role in %s' % name)
                if 'SERVICE_%d' % (n + 1) in d:
                    self.err('list %s has more services than it declares' % name)
                requestor = not name.startswith('STORAGE_')
                if requestor and n > MAX_PRESENTATION_CONTEXTS:
                    self.err('list %s (%d services) exceeds the context limit' % (name, n))
            elif 'HOST_NAME' in dict(kv):
                if dict(kv).get('SERVICE_LIST') not in secs:
                    self.err('application %s names an unknown service list' % name)
            else:
                self.err('section %s: SERVICES_SUPPORTED or SYNTAXES_SUPPORTED must come first' % name)
        self.summary.append('application profile: %d sections, %d service lists; values within %d '
                            'characters; requestor lists within %d contexts'
                            % (len(secs), lists, APPLICATION_VALUE_LIMIT, MAX_PRESENTATION_CONTEXTS))

    # -- templates
    def parse_templates(self, text):
        templates = collections.OrderedDict()
        cur = None
        attr = None
        for no, raw in enumerate(text.split('\n'), 1):
            if not raw or raw.startswith('#'):
                continue
            f = raw.split('\t')
            k = f[0]
            if k == 'TEMPLATE':
                if f[1] == 'SERVICE' and len(f) == 4:
                    key = ('SERVICE', f[2], f[3])
                elif f[1] == 'ITEM' and len(f) == 3:
                    key = ('ITEM', f[2])
                else:
                    raise GenError('line %d: bad TEMPLATE line' % no)
                if key in templates:
                    raise GenError('line %d: template %s twice' % (no, key))
                cur = collections.OrderedDict()
                templates[key] = cur
                attr = None
                continue
            if cur is None:
                raise GenError('line %d: record outside a template' % no)
            if k == 'ATTR':
                if len(f) != 4 or not re.match(r'^[0-9A-F]{8}$', f[1]) or f[2] not in TYPES:
                    raise GenError('line %d: bad ATTR line' % no)
                tag = int(f[1], 16)
                if cur and tag <= next(reversed(cur)):
                    raise GenError('line %d: tags not ascending' % no)
                attr = {'type': f[2], 'kw': f[3], 'enum': [], 'term': [], 'items': [], 'cond': None,
                        'default': []}
                cur[tag] = attr
                continue
            if attr is None:
                raise GenError('line %d: record before any ATTR' % no)
            if k in ('ENUM', 'TERM'):
                if len(f) != 3 or not f[1].isdigit() or not f[2]:
                    raise GenError('line %d: bad %s line' % (no, k))
                n = int(f[1])
                if not 1 <= n <= (1000 if k == 'ENUM' else 999):
                    raise GenError('line %d: value number out of range' % no)
                attr[k.lower()].append((n, f[2]))
            elif k == 'ITEMNAME' and len(f) == 2:
                attr['items'].append(f[1])
            elif k == 'COND' and len(f) == 2:
                if attr['cond'] is not None:
                    raise GenError('line %d: second COND' % no)
                attr['cond'] = f[1]
            elif k == 'DEFAULT' and len(f) == 2:
                attr['default'].append(f[1])
            elif k in ('VR', 'CREATOR') and len(f) == 2:
                pass
            else:
                raise GenError('line %d: unknown record %r' % (no, raw[:40]))
        return templates

    def check_templates(self, svc_info):
        text = self.read('data/templates.txt')
        if text is None or svc_info is None:
            return
        services, items = svc_info
        try:
            tpl = self.parse_templates(text)
        except GenError as e:
            self.err('templates: %s' % e)
            return
        dictionary = self.out.dictionary
        cond_names = set(self.out.cond_names)
        want = {('SERVICE', n, c) for n, s in services.items() if s['type'] == 'BASE'
                for c in s['commands']}
        have = {k for k in tpl if k[0] == 'SERVICE'}
        for k in sorted(want - have):
            self.err('no template for %s %s' % (k[1], k[2]))
        for k in sorted(have - want):
            self.err('template for %s %s, which the services profile does not allow' % (k[1], k[2]))
        have_items = {k[1] for k in tpl if k[0] == 'ITEM'}
        if have_items != set(items):
            self.err('item templates and ITEM_TABLE differ: %s'
                     % sorted(have_items ^ set(items))[:10])
        used = set()
        n_attr = 0
        for key, attrs in tpl.items():
            for tag, a in attrs.items():
                n_attr += 1
                e = dictionary.get(tag)
                if e is None:
                    self.err('%s: tag %08X not in the dictionary' % (key, tag))
                    continue
                if a['kw'] != e.keyword:
                    self.err('%s: keyword of %08X is %s' % (key, tag, a['kw']))
                if a['items'] and e.vr != 'SQ':
                    self.err('%s: ITEMNAME on non-sequence %08X' % (key, tag))
                for n in a['items']:
                    used.add(n)
                    if n not in items:
                        self.err('%s: item %s not in ITEM_TABLE' % (key, n))
                if a['cond'] is not None:
                    if a['type'] not in ('1C', '2C'):
                        self.err('%s: COND on type %s at %08X' % (key, a['type'], tag))
                    if a['cond'] not in cond_names:
                        self.err('%s: unknown condition %s' % (key, a['cond']))
                if (a['enum'] or a['term']) and e.vr in ('UN', 'OB', 'OW', 'OL', 'OF', 'SQ'):
                    self.err('%s: value list on %s attribute %08X' % (key, e.vr, tag))
                pos_e = {p for p, _ in a['enum']}
                pos_t = {p for p, _ in a['term']}
                if pos_e & pos_t:
                    self.err('%s: enumerated values and defined terms share a value number at %08X'
                             % (key, tag))
            if key[0] == 'SERVICE':
                for tag in self.out.ts.command_level(key[2]):
                    if tag not in attrs:
                        self.err('%s: command element %08X missing' % (key, tag))
        unused = set(items) - used
        for n in sorted(unused):
            self.err('item %s is never referenced' % n)
        self.check_iod_coverage(tpl)
        self.summary.append('templates: %d service templates (one per allowed service and command), '
                            '%d item templates, %d attributes; every item name referenced is in '
                            'ITEM_TABLE; every condition name is a known function'
                            % (len(have), len(have_items), n_attr))

    def check_iod_coverage(self, tpl):
        """Every attribute of a mandatory module of a storage IOD is in its template with the
        table's type or a stronger one (read straight from the PS3.3 tables)."""
        p3 = self.out.ts.b.p3
        checked = 0
        for svc in self.out.services:
            if svc.meta or not svc.iod:
                continue
            t = tpl.get(('SERVICE', svc.name, 'C_STORE_RQ'))
            if t is None:
                continue
            fg = p3.func_groups.get(svc.iod)
            for m in p3.iods[svc.iod]:
                if m['usage'] != 'M':
                    continue
                for tid in p3.module_tables(m['ref']):
                    for n in p3.expand(tid, fg):
                        if n.tag not in self.out.dictionary:
                            continue
                        checked += 1
                        a = t.get(n.tag)
                        if a is None:
                            self.err('%s: %08X of a mandatory module is missing' % (svc.name, n.tag))
                        elif n.type in TYPES and TYPE_STRENGTH[a['type']] > TYPE_STRENGTH[n.type]:
                            self.err('%s: %08X has type %s, its module says %s'
                                     % (svc.name, n.tag, a['type'], n.type))
        self.summary.append('storage templates: %d mandatory-module attributes of the IOD tables '
                            'found with their types' % checked)

    def run(self):
        self.check_regenerated()
        self.check_dictionary()
        self.check_private()
        self.check_keywords()
        svc = self.check_services()
        self.check_applications(svc[0] if svc else None)
        self.check_templates(svc)
        sizes = ['%s %d bytes' % (rel, len(t.encode('utf-8'))) for rel, t in self.out.files.items()]
        self.summary.append('sizes: ' + ', '.join(sizes))
        st = self.out.stats
        self.summary.append('template records: %d enumerated values, %d defined terms, %d conditions; '
                            '%d value lists dropped (one value position of a multi-valued attribute)'
                            % (st['enum_records'], st['term_records'], st['condition_records'],
                               st['value_lists_dropped_single_position']))
        for l in self.summary:
            print(l)
        if self.errors:
            print('%d problem(s):' % len(self.errors))
            for e in self.errors:
                print('  ' + e)
            return 1
        print('check passed')
        return 0


def check(out):
    return Checker(out).run()


if __name__ == '__main__':
    sys.exit(main(sys.argv))
