"""Mistakes the stubs must catch; each line marked "expect: CODE" must give that mypy error."""

from corvane import Output, corvane

out = corvane({}, {})
out.val_change  # expect: attr-defined
out.val_changes = []  # expect: misc
out.val_changes[0].a_len  # expect: attr-defined
out.iter_len_mismatch[0].a_len + "items"  # expect: operator
out.dict_items_added[0].a  # expect: attr-defined
out.dict_items_added[0].key = 1  # expect: misc
corvane(1)  # expect: call-arg
corvane(1, 2, 3)  # expect: call-arg
corvane(1, c=2)  # expect: call-arg
from corvane import PanicException  # expect: attr-defined


class Mine(Output):  # expect: misc
    pass
