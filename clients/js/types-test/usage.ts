// Compiled by tsc only: how the declarations read to a typed caller, and what they refuse.
import { LabelAgent, AgentError, mmToDots, labelCanvas, toMonochrome } from 'kelo-label-agent';
import type { AgentErrorCode, AgentPermission, Resolution } from 'kelo-label-agent';

export async function printLabel(agent = new LabelAgent({ url: 'http://127.0.0.1:6780', timeoutMs: 5000 })) {
  const names: string[] = await agent.listPrinters({ supportedOnly: true });
  const resolution: Resolution = await agent.getResolution(names[0]);
  const canvas = labelCanvas(50, 30, resolution); // a page's canvas by default
  canvas.getContext('2d')?.fillRect(0, 0, mmToDots(10, resolution.xDpi), 8);
  document.body.append(toMonochrome(canvas, 100));
  const worker: OffscreenCanvas = toMonochrome(labelCanvas<OffscreenCanvas>(10, 10, 203));
  try {
    await agent.print((await agent.isRunning()) ? names[0] : undefined, canvas);
    await agent.print(null, worker);
    await agent.print('', new Blob([]));
  } catch (e) {
    if (e instanceof AgentError) console.log(e.code === 'refused' ? (e.detail ?? '') : e.message);
  }
}

export async function askFirst(agent: LabelAgent): Promise<boolean> {
  const state: AgentPermission = await agent.permission();
  const blocked: AgentErrorCode = 'blocked';
  return state !== 'denied' && blocked === 'blocked';
}

export async function mistakes(agent: LabelAgent) {
  // @ts-expect-error the permission is a state, not a boolean
  const allowed: boolean = await agent.permission();
  console.log(allowed);
  // @ts-expect-error the raw API's parameter name is not an option
  await agent.listPrinters({ onlySupported: true });
  // @ts-expect-error filters are booleans, not the raw API's "1"
  await agent.listPrinters({ localOnly: '1' });
  // @ts-expect-error a resolution needs a printer name
  await agent.getResolution();
  // @ts-expect-error an image element is not a source: draw it on a canvas first
  await agent.print('KELO', new Image());
  // @ts-expect-error print resolves to nothing
  const answer: string = await agent.print('KELO', 'data:image/png;base64,');
  // @ts-expect-error unknown constructor option
  new LabelAgent({ timeout: 5000 });
  // @ts-expect-error not an error code
  const code: AgentErrorCode = 'offline';
  // @ts-expect-error widthDots is the queue's page, not a resolution
  labelCanvas(50, 30, { widthDots: 400 });
  console.log(answer, code);
}
