"""docs/python-api.md as a reader uses it: every ```python block runs on its
own in a fresh interpreter against the simulator, and the gaze column table
agrees with the column table metadata.json is written from."""
from __future__ import absolute_import, division, print_function, unicode_literals

import io
import os
import re
import shutil
import tempfile
import unittest

import support
from velto.columns import COLUMN_SETS, column_dicts

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, '..', '..'))
DOCS = [os.path.join(ROOT, 'docs', 'python-api.md')]
BLOCK_SECONDS = 60  # the longest a single block may take
FENCE = re.compile(r'^```(\S*)\s*$')


def blocks(path):
    """[(language, first line number, heading above, source)] of every fenced
    block; a fence without a language counts as ''."""
    found, heading, current = [], '', None
    with io.open(path, encoding='utf-8') as stream:
        for number, line in enumerate(stream, 1):
            match = FENCE.match(line.rstrip('\n'))
            if current is None:
                if line.startswith('#'):
                    heading = line.strip('# \n')
                elif match:
                    current = (match.group(1), number + 1, heading, [])
            elif line.rstrip() == '```':
                found.append(current[:3] + (''.join(current[3]),))
                current = None
            else:
                current[3].append(line)
    if current is not None:
        raise AssertionError('%s: the block from line %d is not closed' % (path, current[1]))
    return found


def table_after(path, header):
    """The rows (lists of cells) of the first markdown table whose header
    line starts with `header`."""
    rows, inside = [], False
    with io.open(path, encoding='utf-8') as stream:
        for line in stream:
            if line.startswith(header):
                inside = True
            elif inside and line.startswith('|'):
                rows.append([cell.strip() for cell in line.strip().strip('|').split('|')])
            elif inside:
                break
    return [row for row in rows if not set(''.join(row)) <= set('-: ')]


class Docs(unittest.TestCase):
    def test_every_block_has_a_language(self):
        for path in DOCS:
            untagged = ['%s:%d' % (os.path.basename(path), line)
                        for language, line, _, _ in blocks(path) if not language]
            self.assertEqual(untagged, [], 'fences without a language (use ```text for output)')

    def test_every_python_block_runs_on_its_own(self):
        env = {'PYTHONPATH': os.pathsep.join([os.path.join(ROOT, 'python'), support.LIB_DIR])}
        failures = []
        for path in DOCS:
            for language, line, heading, source in blocks(path):
                if language != 'python':
                    continue
                folder = tempfile.mkdtemp(prefix='velto-docs-')
                try:
                    script = os.path.join(folder, 'block.py')
                    with io.open(script, 'w', encoding='utf-8') as stream:
                        stream.write('# -*- coding: utf-8 -*-\n' + source)
                    status, out, err, _ = support.run_python([script], BLOCK_SECONDS, env, cwd=folder)
                finally:
                    shutil.rmtree(folder, ignore_errors=True)
                if status != 0:
                    failures.append('%s:%d (%s): status %s\n%s' % (
                        os.path.basename(path), line, heading, status, err[-2000:]))
        self.assertEqual(failures, [], '\n\n'.join(failures))

    def test_the_column_table_is_the_one_metadata_json_gives(self):
        # Regression guard: the units in the docs and in metadata.json are written from one table.
        path = DOCS[0]
        documented = {}
        for row in table_after(path, '| column | unit |'):
            for name in re.findall(r'`([^`]+)`', row[0]):
                documented[name] = row[1]
        recorded = dict((c['name'], c['unit']) for c in column_dicts('compact'))
        self.assertEqual(documented, recorded)
        with io.open(path, encoding='utf-8') as stream:
            text = ' '.join(stream.read().split())
        listed = re.search(r'The units are those `metadata.json` gives each column \(([^)]*)\)', text)
        self.assertIsNotNone(listed, 'the sentence listing the units is gone')
        every_unit = set(c.unit for columns in COLUMN_SETS.values() for c in columns)
        self.assertEqual(set(re.findall(r'`([^`]+)`', listed.group(1))), every_unit)


if __name__ == '__main__':
    unittest.main()
