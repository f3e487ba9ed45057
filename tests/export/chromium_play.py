#!/usr/bin/env python3
"""Plays MOVIE in a <video> element of headless Chromium and prints what the
page saw as JSON: {"h264": false} when this Chromium plays no H.264, else
"ended", "currentTime", "duration" and "frames", or "error". Chromium is
driven over its debugging pipe (fds 3 and 4): --dump-dom would dump the page
at its load event, long before the movie has played. Exits 1 (reason on
stderr) when Chromium could not be run, or after 60 s."""
import json, os, signal, subprocess, sys, tempfile

PAGE = """<video id="v" muted></video><script>
const v = document.getElementById('v'), type = 'video/mp4; codecs="avc1.64001f"';
var result = new Promise(done => {
  if (v.canPlayType(type) === '' || !MediaSource.isTypeSupported(type)) return done({h264: false});
  v.onended = () => done({h264: true, ended: true, currentTime: v.currentTime,
      duration: v.duration, frames: v.getVideoPlaybackQuality().totalVideoFrames});
  v.onerror = () => done({h264: true, error: v.error.code + ' ' + v.error.message});
  v.src = SOURCE;
  v.play().catch(e => done({h264: true, error: 'play(): ' + e}));
});</script>"""


def main(movie):
    signal.signal(signal.SIGALRM, lambda *_: sys.exit('no answer from Chromium in 60 s'))
    signal.alarm(60)
    folder = tempfile.mkdtemp(prefix='vidorel-chromium-')
    page = os.path.join(folder, 'play.html')
    with open(page, 'w') as out:
        out.write(PAGE.replace('SOURCE', json.dumps('file://' + os.path.abspath(movie))))
    commands, to_chromium = os.pipe()
    from_chromium, answers = os.pipe()
    # Copies first: a pipe end may already be 3 or 4.
    def on_fds_3_and_4():
        read, write = os.dup(commands), os.dup(answers)
        os.dup2(read, 3)
        os.dup2(write, 4)
    chromium = subprocess.Popen(
        ['chromium', '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run',
         '--autoplay-policy=no-user-gesture-required', '--remote-debugging-pipe',
         '--user-data-dir=' + os.path.join(folder, 'profile'), 'about:blank'],
        preexec_fn=on_fds_3_and_4, close_fds=False, stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(commands)
    os.close(answers)
    pending = b''
    def message():
        nonlocal pending
        while b'\0' not in pending:
            chunk = os.read(from_chromium, 1 << 16)
            if not chunk:
                raise EOFError('Chromium closed its debugging pipe')
            pending += chunk
        text, pending = pending.split(b'\0', 1)
        return json.loads(text)
    def call(number, method, params, session=None):
        request = {'id': number, 'method': method, 'params': params}
        if session:
            request['sessionId'] = session
        os.write(to_chromium, json.dumps(request).encode() + b'\0')
        while True:
            answer = message()
            if answer.get('id') == number:
                if 'error' in answer:
                    raise RuntimeError('%s: %s' % (method, answer['error']))
                return answer['result']
    try:
        target = call(1, 'Target.createTarget', {'url': 'about:blank'})['targetId']
        session = call(2, 'Target.attachToTarget', {'targetId': target, 'flatten': True})['sessionId']
        call(3, 'Page.enable', {}, session)
        call(4, 'Page.navigate', {'url': 'file://' + page}, session)
        while message().get('method') != 'Page.loadEventFired':
            pass
        answer = call(5, 'Runtime.evaluate', {'expression': 'result', 'awaitPromise': True,
                                              'returnByValue': True}, session)
        if 'exceptionDetails' in answer:
            raise RuntimeError('the page failed: %s' % answer['exceptionDetails'])
        print(json.dumps(answer['result']['value']))
    finally:
        chromium.kill()
        chromium.wait()
        subprocess.run(['rm', '-rf', folder])


if __name__ == '__main__':
    main(sys.argv[1])
