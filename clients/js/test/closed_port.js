// Test support: the address of a loopback port that nothing listens on.
import http from 'node:http';

export async function closedPort() {
  const server = http.createServer().listen(0, '127.0.0.1');
  await new Promise((resolve) => server.on('listening', resolve));
  const url = `http://127.0.0.1:${server.address().port}`;
  await new Promise((resolve) => server.close(resolve));
  return url;
}
