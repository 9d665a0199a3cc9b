// Compiled by tsc only: how the declarations read to a typed caller, and what they refuse.
import { LabelAgent, AgentError, mmToDots, labelCanvas, toMonochrome } from 'kelo-label-agent';
import type { AgentErrorCode, ImageSource, LabelCanvas, Resolution } from 'kelo-label-agent';

export async function printLabel(text: string): Promise<void> {
  const agent = new LabelAgent({ url: 'http://127.0.0.1:6780', timeoutMs: 5000 });
  const running: boolean = await agent.isRunning();
  const names: string[] = await agent.listPrinters({ supportedOnly: true });
  const resolution: Resolution = await agent.getResolution(names[0]);
  const dots: number = mmToDots(50, resolution.xDpi) + resolution.widthDots;

  const canvas = labelCanvas(50, 30, resolution);
  const ctx = canvas.getContext('2d');
  if (ctx) ctx.fillText(text, 10, 10);
  document.body.append(toMonochrome(canvas, 100));
  const square: LabelCanvas = labelCanvas<OffscreenCanvas>(10, 10, 203);
  const sources: ImageSource[] = [canvas, square, new Blob([]), 'data:image/png;base64,'];
  try {
    await agent.print(running ? names[0] : undefined, sources[0]);
    await agent.print(null, document.createElement('canvas'));
  } catch (e) {
    if (e instanceof AgentError) {
      const code: AgentErrorCode = e.code;
      const shown: string = code === 'refused' ? (e.detail ?? '') : e.message;
      console.log(shown, dots);
    }
  }
  // toMonochrome keeps the caller's canvas type.
  const page: HTMLCanvasElement = toMonochrome(document.createElement('canvas'));
  const worker: OffscreenCanvas = toMonochrome(new OffscreenCanvas(8, 8));
  console.log(page, worker);
}

export async function mistakes(agent: LabelAgent): Promise<void> {
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
  // @ts-expect-error widthDots is a figure of the queue, not of the label
  labelCanvas(50, 30, { widthDots: 400 });
  console.log(answer, code);
}
