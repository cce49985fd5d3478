"""Document readers: JSON (msgspec's decoder where installed, with the very same results),
JSON Lines, YAML (several documents to a file; needs PyYAML) and TOML, from files or standard
input. A document that cannot be read or parsed raises InputError, whose message names the
file and, where the format tells it, the line and column. TOML and YAML dates, times and
date-times stay datetime.date, datetime.time and datetime.datetime objects.

    load_pair(first, second, fmt=None)   both documents of a comparison
    load(name, fmt=None)                 one file ("-": standard input)
    parse_json(name, data, line=None)    one JSON document from bytes
"""

from ._formats import InputError, fast_json, parse_json, parse_json_lines, parse_toml, parse_yaml
from ._load import FORMATS, STDIN, SUFFIXES, Loaded, format_of, load, load_pair, read_bytes

__all__ = [
    "FORMATS", "STDIN", "SUFFIXES", "InputError", "Loaded", "fast_json", "format_of", "load", "load_pair",
    "parse_json", "parse_json_lines", "parse_toml", "parse_yaml", "read_bytes",
]
