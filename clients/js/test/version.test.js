// The package ships with the project's one version, the CMake project's.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';

const read = (path) => readFileSync(new URL(path, import.meta.url), 'utf8');

test('package.json has the version of project(Kelo VERSION ...) in CMakeLists.txt', () => {
  const cmake = read('../../../CMakeLists.txt').match(/^project\(Kelo\s+VERSION\s+(\d+\.\d+\.\d+)/m);
  assert.ok(cmake, 'no project(Kelo VERSION x.y.z) in CMakeLists.txt');
  assert.equal(JSON.parse(read('../package.json')).version, cmake[1]);
});
