#!/usr/bin/env python3
"""Plays a movie in a <video> element of headless Chromium and prints what
the page saw, as one JSON object:

  {"h264": false}                      this Chromium plays no H.264
  {"h264": true, "ended": true, "currentTime": ..., "duration": ...,
   "frames": ..., "dropped": ...}      played to its end
  {"h264": true, "error": "..."}       the element reported an error

The page is a local file; Chromium is driven over its debugging pipe (file
descriptors 3 and 4), since --dump-dom dumps the page at its load event,
long before the movie has played. Usage: chromium_play.py MOVIE [TIMEOUT_S].
Exits 0 with a result, 1 (reason on stderr) when Chromium could not be run.
"""

import json
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

PAGE = """<!doctype html>
<html><body><video id="movie" muted preload="auto"></video><script>
const video = document.getElementById('movie');
var result = new Promise(resolve => {
  const h264 = video.canPlayType('video/mp4; codecs="avc1.64001f"') !== ''
      && window.MediaSource !== undefined
      && MediaSource.isTypeSupported('video/mp4; codecs="avc1.64001f"');
  if (!h264) {
    resolve({h264: false});
    return;
  }
  video.addEventListener('ended', () => {
    const quality = video.getVideoPlaybackQuality();
    resolve({h264: true, ended: true, currentTime: video.currentTime,
             duration: video.duration, frames: quality.totalVideoFrames,
             dropped: quality.droppedVideoFrames});
  });
  video.addEventListener('error', () => resolve({h264: true,
      error: video.error ? video.error.code + ' ' + video.error.message : 'unknown'}));
  video.src = SOURCE;
  video.play().catch(error => resolve({h264: true, error: 'play(): ' + error}));
});
</script></body></html>
"""


class Browser:
    """Chromium with its debugging pipe: commands in, answers and events out."""

    def __init__(self, profile):
        commands_read, self.commands = os.pipe()
        self.answers, answers_write = os.pipe()

        def on_fds_3_and_4():
            # Copies first: a pipe end may already be 3 or 4.
            read_copy = os.dup(commands_read)
            write_copy = os.dup(answers_write)
            os.dup2(read_copy, 3)
            os.dup2(write_copy, 4)

        self.process = subprocess.Popen(
            ['chromium', '--headless=new', '--no-sandbox', '--disable-gpu',
             '--autoplay-policy=no-user-gesture-required', '--remote-debugging-pipe',
             '--no-first-run', '--user-data-dir=' + profile, 'about:blank'],
            preexec_fn=on_fds_3_and_4, close_fds=False,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(commands_read)
        os.close(answers_write)
        self.pending = b''
        self.last_id = 0

    def next_message(self, deadline):
        while b'\0' not in self.pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise TimeoutError('no answer from Chromium in time')
            ready, _, _ = select.select([self.answers], [], [], left)
            if ready:
                chunk = os.read(self.answers, 1 << 16)
                if not chunk:
                    raise EOFError('Chromium closed its debugging pipe')
                self.pending += chunk
        message, self.pending = self.pending.split(b'\0', 1)
        return json.loads(message)

    def wait_for(self, accept, deadline):
        while True:
            message = self.next_message(deadline)
            if accept(message):
                return message

    def call(self, method, deadline, params=None, session=None):
        self.last_id += 1
        message = {'id': self.last_id, 'method': method, 'params': params or {}}
        if session:
            message['sessionId'] = session
        os.write(self.commands, json.dumps(message).encode() + b'\0')
        number = self.last_id
        answer = self.wait_for(lambda m: m.get('id') == number, deadline)
        if 'error' in answer:
            raise RuntimeError('%s: %s' % (method, answer['error']))
        return answer['result']

    def close(self):
        try:
            self.call('Browser.close', time.monotonic() + 5)
        except (OSError, EOFError, TimeoutError, RuntimeError):
            pass
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def play(movie, timeout):
    folder = tempfile.mkdtemp(prefix='vidorel-chromium-')
    try:
        page = os.path.join(folder, 'play.html')
        with open(page, 'w') as out:
            out.write(PAGE.replace('SOURCE', json.dumps('file://' + movie)))
        browser = Browser(os.path.join(folder, 'profile'))
        try:
            deadline = time.monotonic() + timeout
            target = browser.call('Target.createTarget', deadline, {'url': 'about:blank'})
            session = browser.call('Target.attachToTarget', deadline,
                                   {'targetId': target['targetId'], 'flatten': True})['sessionId']
            browser.call('Page.enable', deadline, session=session)
            browser.call('Page.navigate', deadline, {'url': 'file://' + page}, session=session)
            browser.wait_for(lambda m: m.get('method') == 'Page.loadEventFired', deadline)
            answer = browser.call('Runtime.evaluate', deadline,
                                  {'expression': 'result', 'awaitPromise': True,
                                   'returnByValue': True}, session=session)
            if 'exceptionDetails' in answer:
                raise RuntimeError('the page failed: %s' % answer['exceptionDetails'])
            return answer['result']['value']
        finally:
            browser.close()
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def main():
    if len(sys.argv) not in (2, 3):
        sys.stderr.write('usage: chromium_play.py MOVIE [TIMEOUT_S]\n')
        return 2
    movie = os.path.abspath(sys.argv[1])
    timeout = float(sys.argv[2]) if len(sys.argv) == 3 else 60
    try:
        result = play(movie, timeout)
    except (OSError, EOFError, TimeoutError, RuntimeError) as error:
        sys.stderr.write('chromium_play.py: %s\n' % error)
        return 1
    print(json.dumps(result))
    return 0


if __name__ == '__main__':
    sys.exit(main())
