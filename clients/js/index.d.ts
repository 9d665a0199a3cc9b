// Types of the label agent client (index.js).
/// <reference lib="dom" />

export type AgentErrorCode = 'unreachable' | 'blocked' | 'timeout' | 'refused' | 'bad-answer';

/** The browser's answer on reaching loopback addresses (Local Network Access). */
export type AgentPermission = 'granted' | 'prompt' | 'denied' | 'unsupported';

export class AgentError extends Error {
  constructor(code: AgentErrorCode, message: string, extra?: { detail?: string; cause?: unknown });
  readonly name: 'AgentError';
  /**
   * - `unreachable`: nothing answers: the agent is not running (or the browser blocked the
   *   call without saying so through the Permissions API).
   * - `blocked`: the call failed while the browser's Local Network Access permission for
   *   this site is `'denied'`; the message says how the user or an administrator allows it.
   * - `timeout`: no full answer within `timeoutMs`.
   * - `refused`: the agent answered "10002"; its text is in `detail`.
   * - `bad-answer`: the answer is not what the API defines.
   */
  readonly code: AgentErrorCode;
  /** The agent's own text, for `refused`. */
  readonly detail?: string;
}

export interface LabelAgentOptions {
  /** Default `http://127.0.0.1:6780`. */
  url?: string;
  /** Time for each call, default 5000. */
  timeoutMs?: number;
}

export interface ListPrintersOptions {
  localOnly?: boolean;
  onlineOnly?: boolean;
  supportedOnly?: boolean;
}

export interface Resolution {
  xDpi: number;
  yDpi: number;
  /** The page size in device pixels (0 when only the settings file knows the queue). */
  widthDots: number;
  heightDots: number;
  printQuality: number;
}

/** A PNG is sent for canvases; a Blob is sent as it is; a string must be a Base64 data URL. */
export type ImageSource = HTMLCanvasElement | OffscreenCanvas | Blob | string;

export class LabelAgent {
  /** Throws a TypeError for an unknown option or a URL that is not http(s). */
  constructor(options?: LabelAgentOptions);
  /** The agent's address without a trailing slash. */
  readonly url: string;
  /**
   * The browser's Local Network Access permission for this site (`loopback-network`, else
   * `local-network-access`); `'unsupported'` where the browser has neither. Never rejects
   * and never prompts: call the agent on a user gesture, not on page load, so that the
   * browser's own prompt follows the user's click.
   */
  permission(): Promise<AgentPermission>;
  /** Whether the agent answers a printer listing as its API defines; never rejects. */
  isRunning(): Promise<boolean>;
  /** Queue names in the spooler's order. Rejects with a TypeError for an unknown option. */
  listPrinters(options?: ListPrintersOptions): Promise<string[]>;
  getResolution(printer: string): Promise<Resolution>;
  /** No printer name (undefined, null or '') prints on the agent's default queue. */
  print(printer: string | null | undefined, source: ImageSource): Promise<void>;
}

/** Millimetres to whole printer dots: `mmToDots(50, 203) === 400`. */
export function mmToDots(mm: number, dpi: number): number;

export type LabelCanvas = HTMLCanvasElement | OffscreenCanvas;

/**
 * A white canvas sized in printer dots: an HTMLCanvasElement where there is a `document`
 * (a page), otherwise an OffscreenCanvas (a worker): write `labelCanvas<OffscreenCanvas>(...)`
 * there. A number is taken as both resolutions.
 */
export function labelCanvas<C extends LabelCanvas = HTMLCanvasElement>(
  widthMm: number,
  heightMm: number,
  resolution: number | Pick<Resolution, 'xDpi' | 'yDpi'>,
): C;

/**
 * Turns every pixel pure black (luminance below `threshold`) or white, as a thermal head
 * prints; transparent pixels count as white paper. Returns the same canvas.
 */
export function toMonochrome<C extends LabelCanvas>(canvas: C, threshold?: number): C;
