#!/usr/bin/env python3
"""Plays MOVIE in headless Chromium, driven over its debugging pipe (fds 3
and 4: --dump-dom would dump the page before the movie has played), and
prints what the <video> element saw as JSON; fails after 60 s."""
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

signal.signal(signal.SIGALRM, lambda *_: sys.exit('no answer from Chromium in 60 s'))
signal.alarm(60)
folder = tempfile.TemporaryDirectory(prefix='vidorel-chromium-', ignore_cleanup_errors=True)
page = os.path.join(folder.name, 'play.html')
with open(page, 'w') as out:
    out.write(PAGE.replace('SOURCE', json.dumps('file://' + os.path.abspath(sys.argv[1]))))
commands, to_chromium = os.pipe()
from_chromium, answers = os.pipe()


def on_fds_3_and_4():  # copies first: a pipe end may already be 3 or 4
    read, write = os.dup(commands), os.dup(answers)
    os.dup2(read, 3)
    os.dup2(write, 4)


chromium = subprocess.Popen(
    ['chromium', '--headless=new', '--no-sandbox', '--disable-gpu', '--no-first-run',
     '--autoplay-policy=no-user-gesture-required', '--remote-debugging-pipe',
     '--user-data-dir=' + os.path.join(folder.name, 'profile'), 'about:blank'],
    preexec_fn=on_fds_3_and_4, close_fds=False, stdin=subprocess.DEVNULL,
    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
os.close(commands)
os.close(answers)
pending = b''


def message():
    global pending
    while b'\0' not in pending:
        pending += os.read(from_chromium, 1 << 16) or sys.exit('Chromium closed its pipe')
    text, pending = pending.split(b'\0', 1)
    return json.loads(text)


def call(number, method, params, session=None):
    request = {'id': number, 'method': method, 'params': params, 'sessionId': session}
    os.write(to_chromium, json.dumps({k: v for k, v in request.items() if v is not None}).encode() + b'\0')
    while (answer := message()).get('id') != number:
        pass
    if 'error' in answer or 'exceptionDetails' in answer.get('result', {}):
        sys.exit('%s failed: %s' % (method, answer))
    return answer['result']


try:
    target = call(1, 'Target.createTarget', {'url': 'about:blank'})['targetId']
    session = call(2, 'Target.attachToTarget', {'targetId': target, 'flatten': True})['sessionId']
    call(3, 'Page.enable', {}, session)
    call(4, 'Page.navigate', {'url': 'file://' + page}, session)
    while message().get('method') != 'Page.loadEventFired':
        pass
    print(json.dumps(call(5, 'Runtime.evaluate', {'expression': 'result', 'awaitPromise': True,
                                                  'returnByValue': True}, session)['result']['value']))
finally:
    try:  # closed, not killed: its helpers go too, and the profile can be removed
        os.write(to_chromium, json.dumps({'id': 6, 'method': 'Browser.close'}).encode() + b'\0')
        chromium.wait(10)
    except (OSError, subprocess.TimeoutExpired):
        chromium.kill()
        chromium.wait()
